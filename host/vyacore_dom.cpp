#include "vyacore_dom.h"

#include <utility>

namespace VyaCore {

CDom::CDom(std::string root) : root_(std::move(root)) {}

std::string CDom::GetPluginFile(const std::string& plugin, const std::string& file) const
{
    std::string path;
    path.reserve(root_.size() + plugin.size() + file.size() + 2);
    path += root_;
    path += '/';
    path += plugin;
    path += '/';
    path += file;
    return path;
}

}  // namespace VyaCore
