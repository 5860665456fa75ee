#include "input/byte_input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace bvaudio {

FileInput *FileInput::open(const std::string &path, uint64_t offset, uint64_t length)
{
    // Regular files only: a FIFO or a device would block or never end. Opened without
    // blocking so that a FIFO cannot hold the caller before the check.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || ::fcntl(fd, F_SETFL, 0) != 0) {
        ::close(fd);
        return nullptr;
    }
    FILE *file = ::fdopen(fd, "rb");
    if (!file) {
        ::close(fd);
        return nullptr;
    }
    if (std::fseek(file, 0, SEEK_END) != 0) {
        std::fclose(file);
        return nullptr;
    }
    long fileSize = std::ftell(file);
    if (fileSize < 0 || offset > static_cast<uint64_t>(fileSize)) {
        std::fclose(file);
        return nullptr;
    }
    uint64_t available = static_cast<uint64_t>(fileSize) - offset;
    if (length == 0 || length > available)
        length = available;
    auto *input = new FileInput(file, offset, length);
    input->name = path;
    input->seek(0);
    return input;
}

FileInput::FileInput(FILE *file, uint64_t offset, uint64_t length)
    : m_file(file), m_offset(offset), m_length(static_cast<int64_t>(length))
{
}

FileInput::~FileInput()
{
    std::fclose(m_file);
}

int FileInput::read(uint8_t *buffer, int size)
{
    int64_t left = m_length - m_position;
    if (left <= 0)
        return 0;
    size_t wanted = static_cast<size_t>(std::min<int64_t>(size, left));
    size_t got = std::fread(buffer, 1, wanted, m_file);
    if (got == 0 && std::ferror(m_file))
        return -1;
    m_position += static_cast<int64_t>(got);
    return static_cast<int>(got);
}

bool FileInput::seek(int64_t position)
{
    if (position < 0 || position > m_length)
        return false;
    if (std::fseek(m_file, static_cast<long>(m_offset + position), SEEK_SET) != 0)
        return false;
    m_position = position;
    return true;
}

UserFileInput::UserFileInput(const BASS_FILEPROCS &procs, void *user)
    : m_procs(procs), m_user(user), m_buffer(kReadBufferSize)
{
}

UserFileInput::~UserFileInput()
{
    if (m_procs.close)
        m_procs.close(m_user);
}

bool UserFileInput::fill()
{
    if (m_available.load() > 0)
        return true;
    if (m_ended || !m_procs.read)
        return false;
    // One callback read per empty buffer: the callback may block until data exists.
    DWORD got = m_procs.read(m_buffer.data(), kReadBufferSize, m_user);
    if (got == static_cast<DWORD>(-1) || got == 0) {
        m_ended = true;
        return false;
    }
    m_readOffset = 0;
    m_available.store(static_cast<int>(std::min<DWORD>(got, kReadBufferSize)));
    return true;
}

std::string UserFileInput::peek(size_t bytes)
{
    if (!fill())
        return {};
    const auto *data = reinterpret_cast<const char *>(m_buffer.data() + m_readOffset);
    return std::string(data, std::min(bytes, static_cast<size_t>(m_available.load())));
}

int UserFileInput::read(uint8_t *buffer, int size)
{
    if (!fill())
        return 0;
    const int available = m_available.load();
    const int n = std::min(size, available);
    std::memcpy(buffer, m_buffer.data() + m_readOffset, static_cast<size_t>(n));
    m_readOffset += n;
    m_available.store(available - n);
    return n;
}

} // namespace bvaudio
