// Zip output stream of the host: the diagnostic archive that plugins add entries to.
#pragma once
#include <memory>

#include <wx/string.h>

class wxOutputStream;
class wxZipOutputStream;

namespace VyaCore {

// Not safe for concurrent use: the host hands one stream to one caller at a time.
class CZipOutputStream {
public:
    // Takes over `fd`, open for writing; it is closed with the stream.
    explicit CZipOutputStream(int fd);
    // Finishes the archive if Close was not called.
    ~CZipOutputStream();
    CZipOutputStream(const CZipOutputStream&) = delete;
    CZipOutputStream& operator=(const CZipOutputStream&) = delete;

    // Creates (truncates) the archive file; null with errno set when it cannot.
    static CZipOutputStream* Create(const char* path);

    // Adds the entry dir/name (just name when dir is empty) holding the bytes.
    // Ignored once the stream is closed or has failed.
    void AddFromMemory(const void* data, unsigned long size, const wxString& name, const wxString& dir);

    // Writes the central directory and closes the file. True when every entry
    // and the directory were written. Later calls return false.
    bool Close();

    bool IsClosed() const { return !zip_; }

private:
    std::unique_ptr<wxZipOutputStream> zip_;  // owns file_
    wxOutputStream* file_;
    bool failed_ = false;
};

}  // namespace VyaCore
