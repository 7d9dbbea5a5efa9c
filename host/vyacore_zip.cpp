#include "vyacore_zip.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include <wx/stream.h>
#include <wx/zipstrm.h>

namespace {

// An unbuffered, seekable stream over a descriptor. A failed write is only
// recorded: the zip stream above it does not survive a failing parent (it
// crashes when it is closed afterwards), so to it every write succeeds.
class FdOutputStream : public wxOutputStream {
public:
    explicit FdOutputStream(int fd) : fd_(fd) {}
    ~FdOutputStream() override
    {
        if (fd_ >= 0) ::close(fd_);
    }

    bool Close() override
    {
        if (fd_ < 0) return !failed_;
        if (::close(fd_) != 0) failed_ = true;
        fd_ = -1;
        return !failed_;
    }

    bool Failed() const { return failed_; }

    bool IsSeekable() const override { return fd_ >= 0 && lseek(fd_, 0, SEEK_CUR) >= 0; }

protected:
    size_t OnSysWrite(const void* buffer, size_t size) override
    {
        const char* p = static_cast<const char*>(buffer);
        size_t done = 0;
        while (!failed_ && done < size) {
            ssize_t n = ::write(fd_, p + done, size - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) failed_ = true;
            else done += static_cast<size_t>(n);
        }
        return size;
    }

    wxFileOffset OnSysSeek(wxFileOffset pos, wxSeekMode mode) override
    {
        int whence = mode == wxFromStart ? SEEK_SET : mode == wxFromCurrent ? SEEK_CUR : SEEK_END;
        off_t r = fd_ >= 0 ? lseek(fd_, static_cast<off_t>(pos), whence) : -1;
        return r < 0 ? wxInvalidOffset : static_cast<wxFileOffset>(r);
    }

    wxFileOffset OnSysTell() const override
    {
        off_t r = fd_ >= 0 ? lseek(fd_, 0, SEEK_CUR) : -1;
        return r < 0 ? wxInvalidOffset : static_cast<wxFileOffset>(r);
    }

private:
    int fd_;
    bool failed_ = false;
};

}  // namespace

// wxWidgets creates its UTF-8 converter lazily and without a lock; every zip
// stream uses it, and worker threads create streams at the same time, so it is
// made once while the library loads.
static const wxMBConv& zip_conv_ready = wxGet_wxConvUTF8();

namespace VyaCore {

CZipOutputStream::CZipOutputStream(int fd) : file_(nullptr)
{
    try {
        file_ = new FdOutputStream(fd);
    } catch (...) {
        ::close(fd);
        throw;
    }
    try {
        zip_.reset(new wxZipOutputStream(file_));
    } catch (...) {
        delete file_;  // closes fd
        throw;
    }
    failed_ = !zip_->IsOk();
}

CZipOutputStream::~CZipOutputStream()
{
    try {
        Close();
    } catch (...) {
    }
}

CZipOutputStream* CZipOutputStream::Create(const char* path)
{
    int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    CZipOutputStream* zip = nullptr;
    try {
        zip = new (std::nothrow) CZipOutputStream(fd);
        if (!zip) ::close(fd);  // the constructor never ran
    } catch (...) {
        zip = nullptr;  // the constructor closed fd
    }
    if (!zip) errno = ENOMEM;
    return zip;
}

void CZipOutputStream::AddFromMemory(const void* data, unsigned long size, const wxString& name,
                                     const wxString& dir)
{
    if (!zip_ || failed_ || static_cast<FdOutputStream*>(file_)->Failed()) return;
    wxString entry = dir.empty() ? name : dir + wxS("/") + name;
    if (!zip_->PutNextEntry(entry)) {
        failed_ = true;
        return;
    }
    if (size > 0 && zip_->Write(data, size).LastWrite() != size) failed_ = true;
    if (!zip_->CloseEntry()) failed_ = true;
}

bool CZipOutputStream::Close()
{
    if (!zip_) return false;
    bool ok = zip_->Close() && !failed_;
    // Closed here rather than by the destructor so that a failure is seen.
    ok = file_->Close() && ok;
    zip_.reset();
    file_ = nullptr;
    return ok;
}

}  // namespace VyaCore
