// Document object of the host: knows where the agent's plugins keep their files.
#pragma once
#include <string>

namespace VyaCore {

class CDom {
public:
    explicit CDom(std::string root);

    // root/plugin/file; the file need not exist.
    std::string GetPluginFile(const std::string& plugin, const std::string& file) const;

private:
    std::string root_;
};

}  // namespace VyaCore
