// Byte sources a decoder reads from, with the engine's file positions.
#pragma once

#include "bass.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace bvaudio {

class ByteInput {
public:
    virtual ~ByteInput() = default;

    // Copies up to `size` bytes; returns the count, 0 at the end of data, -1 on error.
    virtual int read(uint8_t *buffer, int size) = 0;
    // Absolute seek inside the input; false when not possible.
    virtual bool seek(int64_t position) { (void)position; return false; }
    virtual bool isSeekable() const { return false; }
    // Total size in bytes, -1 when unknown.
    virtual int64_t size() const { return -1; }

    // BASS_FILEPOS_BUFFER and BASS_FILEPOS_END; -1 when not available.
    virtual int64_t bufferPosition() const = 0;
    virtual int64_t endPosition() const = 0;

    // The input's first `bytes` bytes (fewer when there are no more), looked at before the
    // first read without consuming them. Empty when the input cannot look ahead.
    virtual std::string peek(size_t bytes) { (void)bytes; return {}; }

    // The decoder has recognised the format; reads from now on feed playback.
    virtual void decoderOpened() {}

    // Stops background work (a download) for good; no user callback runs after it returns,
    // unless it is called from that callback. Reads then fail.
    virtual void abort() {}

    // The stream's in-band metadata (ICY), empty when there is none.
    virtual std::string metadata() const { return {}; }
    // The header lines of the response the input was opened with, each followed by '\0'.
    virtual std::string responseHeaders() const { return {}; }

    // Kept up to date by the decoder: bytes it has consumed, and where the first audio packet began.
    std::atomic<int64_t> consumed{0};
    std::atomic<int64_t> audioStart{-1};

    // Name handed to the format prober as a hint (file name or URL), may be empty.
    std::string name;
};

// A regular local file, or the part [offset, offset + length) of it.
class FileInput : public ByteInput {
public:
    // Returns nullptr when the file cannot be opened or the part lies outside it.
    static FileInput *open(const std::string &path, uint64_t offset, uint64_t length);
    ~FileInput() override;

    int read(uint8_t *buffer, int size) override;
    bool seek(int64_t position) override;
    bool isSeekable() const override { return true; }
    int64_t size() const override { return m_length; }
    int64_t bufferPosition() const override { return m_length; }
    int64_t endPosition() const override { return m_length; }

private:
    FileInput(FILE *file, uint64_t offset, uint64_t length);

    FILE *m_file;
    uint64_t m_offset;
    int64_t m_length;
    int64_t m_position = 0;
};

// Bytes from user callbacks, read block by block into a read buffer (STREAMFILE_BUFFER).
class UserFileInput : public ByteInput {
public:
    static constexpr int kReadBufferSize = 64 * 1024;

    UserFileInput(const BASS_FILEPROCS &procs, void *user);
    ~UserFileInput() override;

    int read(uint8_t *buffer, int size) override;
    // What the first callback read delivered.
    std::string peek(size_t bytes) override;
    int64_t bufferPosition() const override { return m_available.load(); }
    int64_t endPosition() const override { return kReadBufferSize; }

private:
    BASS_FILEPROCS m_procs;
    void *m_user;
    std::vector<uint8_t> m_buffer;
    int m_readOffset = 0;
    std::atomic<int> m_available{0};
    bool m_ended = false;

    // Refills the empty read buffer with one callback read; false at the end.
    bool fill();
};

} // namespace bvaudio
