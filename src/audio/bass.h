/*
 * BrevantPlayer audio engine: decoding (FFmpeg), mixing, network streaming
 * (libcurl) and output (PulseAudio or a "no sound" clock) behind a C API.
 *
 * Conventions shared by every function:
 * - Handles are non-zero 32-bit numbers; a function that returns a handle or
 *   BOOL returns 0/FALSE on failure, and one that returns a QWORD or DWORD
 *   count returns all bits set (-1) on failure. BASS_ErrorGetCode() then gives
 *   the reason; it is kept per calling thread and reset to BASS_OK by every
 *   call that succeeds.
 * - Decoded data is 16-bit signed interleaved PCM at the source's own sample
 *   rate and channel count. Every byte position (length, position, seeking,
 *   position syncs, bytes<->seconds) counts bytes of that format.
 * - Callbacks never run with an engine lock held: a callback may call the
 *   engine, including freeing its own channel.
 * - Threads: one output thread per device pulls the mix; one decode thread per
 *   decoding channel keeps about 0.5 s of PCM ready; one download thread per
 *   network stream; one capture thread per recording; one sync thread
 *   delivers every SYNCPROC in the order the events happened.
 */
#ifndef BREVANT_AUDIO_BASS_H
#define BREVANT_AUDIO_BASS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The C API is what the engine exports; everything else of it stays hidden. */
#if defined(__GNUC__)
#pragma GCC visibility push(default)
#endif

typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef uint64_t QWORD;
typedef int BOOL;
#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

typedef DWORD HSTREAM;  /* playback stream */
typedef DWORD HSYNC;    /* synchronizer */
typedef DWORD HRECORD;  /* recording channel */
typedef DWORD HPLUGIN;  /* built-in decoder set named like a plug-in */

/* ---- error codes (BASS_ErrorGetCode) ---- */
#define BASS_OK                 0
#define BASS_ERROR_MEM          1
#define BASS_ERROR_FILEOPEN     2
#define BASS_ERROR_DRIVER       3
#define BASS_ERROR_BUFLOST      4
#define BASS_ERROR_HANDLE       5
#define BASS_ERROR_FORMAT       6
#define BASS_ERROR_POSITION     7
#define BASS_ERROR_INIT         8
#define BASS_ERROR_START        9
#define BASS_ERROR_SSL          10
#define BASS_ERROR_ALREADY      14
#define BASS_ERROR_NOTAUDIO     17
#define BASS_ERROR_NOCHAN       18
#define BASS_ERROR_ILLTYPE      19
#define BASS_ERROR_ILLPARAM     20
#define BASS_ERROR_NO3D         21
#define BASS_ERROR_NOEAX        22
#define BASS_ERROR_DEVICE       23
#define BASS_ERROR_NOPLAY       24
#define BASS_ERROR_FREQ         25
#define BASS_ERROR_NOTFILE      27
#define BASS_ERROR_NOHW         29
#define BASS_ERROR_EMPTY        31
#define BASS_ERROR_NONET        32
#define BASS_ERROR_CREATE       33
#define BASS_ERROR_NOFX         34
#define BASS_ERROR_NOTAVAIL     37
#define BASS_ERROR_DECODE       38
#define BASS_ERROR_DX           39
#define BASS_ERROR_TIMEOUT      40
#define BASS_ERROR_FILEFORM     41
#define BASS_ERROR_SPEAKER      42
#define BASS_ERROR_VERSION      43
#define BASS_ERROR_CODEC        44
#define BASS_ERROR_ENDED        45
#define BASS_ERROR_BUSY         46
#define BASS_ERROR_UNSTREAMABLE 47
#define BASS_ERROR_UNKNOWN      -1

/* ---- configuration options (BASS_SetConfig / BASS_GetConfig) ---- */
#define BASS_CONFIG_BUFFER          1  /* playback buffer length, ms (default 500) */
#define BASS_CONFIG_NET_TIMEOUT     2  /* connect/answer time-out, ms (default 5000) */
#define BASS_CONFIG_NET_BUFFER      3  /* live-stream download buffer, ms (default 5000) */
#define BASS_CONFIG_NET_PREBUF      4  /* % of the download buffer filled before playback (default 75) */
#define BASS_CONFIG_NET_PLAYLIST    5  /* 0 never, 1 URL streams only, 2 URL and file streams follow playlists */
#define BASS_CONFIG_NET_READTIMEOUT 6  /* no data for this long ends a download, ms; 0 = never (default 0) */
#define BASS_CONFIG_NET_PREBUF_WAIT 7  /* non-zero: stream creation waits for the prebuffer (default 0) */
#define BASS_CONFIG_VERIFY_NET      8  /* bytes a network stream reads to detect its format (default 16384) */
#define BASS_CONFIG_THREAD 0x40000000  /* flag with VERIFY_NET: the calling thread's own value */
/* text options (BASS_SetConfigPtr / BASS_GetConfigPtr) */
#define BASS_CONFIG_NET_RECONNECTS  9  /* read-only: live streams connected again after a drop, process-wide */
#define BASS_CONFIG_NET_AGENT       100 /* const char* User-Agent, copied; NULL = engine default */
#define BASS_CONFIG_FILENAME        101 /* read-only: the engine library's own path, "" when unknown */

/* ---- stream flags ---- */
#define BASS_STREAM_AUTOFREE   0x40000  /* free the channel when it ends or is stopped */
#define BASS_STREAM_BLOCK      0x100000 /* user-file/network stream read in blocks, not seekable */
#define BASS_UNICODE           0x80000000 /* accepted and ignored: file names are UTF-8 */

/* user-file systems */
#define STREAMFILE_NOBUFFER    0
#define STREAMFILE_BUFFER      1        /* read on demand, block by block, into a read buffer */

/* ---- channel information ---- */
#define BASS_CTYPE_STREAM        0x10000
#define BASS_CTYPE_STREAM_PCM    0x10001 /* push streams and recordings */
#define BASS_CTYPE_STREAM_WAV    0x10002
#define BASS_CTYPE_STREAM_MP3    0x10003
#define BASS_CTYPE_STREAM_AAC    0x10004
#define BASS_CTYPE_STREAM_MP4    0x10005
#define BASS_CTYPE_STREAM_VORBIS 0x10006
#define BASS_CTYPE_STREAM_OPUS   0x10007
#define BASS_CTYPE_STREAM_FLAC   0x10008
#define BASS_CTYPE_RECORD        0x10009

typedef struct {
    DWORD freq;        /* source sample rate */
    DWORD chans;       /* source channel count */
    DWORD flags;       /* creation flags */
    DWORD ctype;       /* BASS_CTYPE_* */
    DWORD origres;     /* source resolution in bits, 0 when not meaningful */
    HPLUGIN plugin;    /* built-in plug-in handle serving the format, 0 for core formats */
    DWORD sample;      /* always 0 */
    const char *filename; /* file name or URL, NULL for other streams; valid while the channel lives */
} BASS_CHANNELINFO;

/* ---- activity (BASS_ChannelIsActive) ---- */
#define BASS_ACTIVE_STOPPED       0
#define BASS_ACTIVE_PLAYING       1
#define BASS_ACTIVE_STALLED       2 /* playing, but no data ready */
#define BASS_ACTIVE_PAUSED        3
#define BASS_ACTIVE_PAUSED_DEVICE 4 /* the output device failed or is gone */

/* ---- positions ---- */
#define BASS_POS_BYTE 0

#define BASS_FILEPOS_CURRENT 0 /* bytes of the file the decoder has consumed */
#define BASS_FILEPOS_END     2 /* file size / Content-Length / read-buffer size */
#define BASS_FILEPOS_START   3 /* offset of the first audio data */
#define BASS_FILEPOS_BUFFER  5 /* bytes available: see BASS_StreamGetFilePosition */

/* ---- attributes ---- */
#define BASS_ATTRIB_FREQ       1  /* playback rate in Hz (0 = source rate); speed and pitch follow */
#define BASS_ATTRIB_VOL        2  /* 0..1 (may exceed 1; the mix saturates instead of wrapping) */
#define BASS_ATTRIB_PUSH_LIMIT 17 /* push streams: most bytes allowed to wait in the queue, 0 = no limit */

/* ---- level ---- */
#define BASS_LEVEL_MONO 1
#define BASS_LEVEL_RMS  4

/* ---- syncs ---- */
#define BASS_SYNC_POS        0  /* param: byte position; fires when that sample is played */
#define BASS_SYNC_END        2  /* the last sample has been played */
#define BASS_SYNC_META       4  /* new in-stream metadata; see BASS_TAG_META */
#define BASS_SYNC_STALL      6  /* data 0 = stalled, 1 = resumed */
#define BASS_SYNC_DEV_FAIL   14 /* the output (or recording) device failed */
#define BASS_SYNC_DEV_FORMAT 15 /* the output device's format changed */
#define BASS_SYNC_NET_RECONNECT 16 /* a live network stream connected again after a drop */
#define BASS_SYNC_MIXTIME    0x40000000 /* flag: call when the event is mixed, not when it is heard */
#define BASS_SYNC_ONETIME    0x80000000 /* flag: the sync is removed as it fires */

typedef void (SYNCPROC)(HSYNC handle, DWORD channel, DWORD data, void *user);

/* ---- tags ---- */
#define BASS_TAG_HTTP 3 /* the response headers of a URL stream, each "\0"-terminated, then "\0" */
#define BASS_TAG_META 5 /* last ICY metadata block, e.g. "StreamTitle='..';StreamUrl='..';" */

/* ---- stream procedures ---- */
typedef DWORD (STREAMPROC)(HSTREAM handle, void *buffer, DWORD length, void *user);
#define STREAMPROC_PUSH     ((STREAMPROC *)(intptr_t)-1)
#define BASS_STREAMPROC_END 0x80000000 /* with BASS_StreamPutData: no more data follows */

/* Network streams: each downloaded block (ICY metadata removed), then NULL/0 when the download ends. */
typedef void (DOWNLOADPROC)(const void *buffer, DWORD length, void *user);

typedef void (FILECLOSEPROC)(void *user);
typedef QWORD (FILELENPROC)(void *user);
typedef DWORD (FILEREADPROC)(void *buffer, DWORD length, void *user);
typedef BOOL (FILESEEKPROC)(QWORD offset, void *user);
typedef struct {
    FILECLOSEPROC *close;
    FILELENPROC *length;
    FILEREADPROC *read;
    FILESEEKPROC *seek;
} BASS_FILEPROCS;

/* ---- recording ---- */
typedef BOOL (RECORDPROC)(HRECORD handle, const void *buffer, DWORD length, void *user);
typedef struct {
    DWORD flags;
    DWORD formats; /* the device's channel count in the high 8 bits */
    DWORD inputs;
    BOOL singlein;
    DWORD freq;    /* the device's sample rate */
} BASS_RECORDINFO;

/* ======================= set-up ======================= */

/* Version of the engine as 0xAABBCCDD (major, minor, micro, build). */
DWORD BASS_GetVersion(void);

/* Error code of the last engine call made on the calling thread. */
int BASS_ErrorGetCode(void);

/* Opens output device `device` at `freq` Hz stereo: -1 the default PulseAudio
 * sink, 0 "no sound" (a real-time clock consumes the mix, so positions, syncs
 * and levels behave as with sound), 1..n the PulseAudio sinks in server order.
 * `flags`, `win` and `clsid` are ignored. Fails with BASS_ERROR_ALREADY when a
 * device is open, BASS_ERROR_DEVICE for an unknown device, BASS_ERROR_DRIVER
 * when PulseAudio cannot be reached (within about a second, never a hang). */
BOOL BASS_Init(int device, DWORD freq, DWORD flags, void *win, const void *clsid);

/* Frees every channel and recording and closes the device. BASS_ERROR_INIT when
 * no device is open. */
BOOL BASS_Free(void);

/* Process-wide numeric option; fails with BASS_ERROR_ILLTYPE for an unknown
 * option. GetConfig returns -1 on failure. With BASS_CONFIG_THREAD (VERIFY_NET
 * only) the value is the calling thread's, used by the streams it creates over
 * the process-wide one; (DWORD)-1 gives the thread the process-wide value again. */
BOOL BASS_SetConfig(DWORD option, DWORD value);
DWORD BASS_GetConfig(DWORD option);

/* Process-wide text option. NET_AGENT is copied (NULL restores the default);
 * FILENAME is read-only. GetConfigPtr returns NULL on failure; the pointer
 * stays valid until the option is set again. */
BOOL BASS_SetConfigPtr(DWORD option, const void *value);
const void *BASS_GetConfigPtr(DWORD option);

/* "bassopus" and "basshls" name built-in support (Opus, MPEG-TS/HLS) and
 * return a fixed non-zero handle; any other name fails with
 * BASS_ERROR_FILEOPEN. */
HPLUGIN BASS_PluginLoad(const char *file, DWORD flags);

/* ======================= streams ======================= */

/* Decodes a local file (MP3, AAC/ADTS, M4A, Ogg Opus/Vorbis, FLAC, WAV, MPEG-TS
 * with AAC or MP3). `mem` must be FALSE. `offset`/`length` restrict the stream
 * to that part of the file (length 0 = to its end). With NET_PLAYLIST 2 a PLS
 * or M3U file is followed: its entries (files or URLs) are tried in order. Errors: BASS_ERROR_INIT, BASS_ERROR_FILEOPEN
 * (missing/unreadable), BASS_ERROR_FILEFORM (not audio), BASS_ERROR_CODEC. */
HSTREAM BASS_StreamCreateFile(BOOL mem, const void *file, QWORD offset, QWORD length, DWORD flags);

/* Opens a network stream (HTTP or HTTPS, redirects followed). `url` is the URL
 * followed by optional "\r\n"-separated request header lines, ending in
 * "\r\n"; without a User-Agent line NET_AGENT is sent. "Icy-MetaData: 1" is
 * always asked for. `offset` > 0 requests "Range: bytes=OFFSET-"; a server that
 * ignores the range gets its first OFFSET bytes dropped, so the stream starts
 * at OFFSET either way. Blocks until the response and VERIFY_NET bytes have
 * arrived and the format is known (and, with NET_PREBUF_WAIT, the prebuffer),
 * never past NET_TIMEOUT for any one wait. Errors: BASS_ERROR_FILEOPEN (HTTP
 * error status, refused connection), BASS_ERROR_UNSTREAMABLE (response headers
 * over 64 KiB: no answer of the server can be read), BASS_ERROR_TIMEOUT,
 * BASS_ERROR_SSL, BASS_ERROR_NONET (unknown host), BASS_ERROR_FILEFORM (not audio).
 * With NET_PLAYLIST >= 1 a PLS or M3U list (by content type or content) is
 * followed: its entries are tried in order until one opens.
 * A file of known length downloads in full, so seeks inside what has arrived
 * work; a live stream keeps NET_BUFFER ms ahead of the decoder. Running dry
 * stalls the channel until NET_PREBUF % of that buffer is back; no data for
 * NET_READTIMEOUT ends the download, and the channel plays out and ends.
 * `proc` gets every block on the download thread. ICY metadata is kept as
 * BASS_TAG_META (UTF-8) and each change fires BASS_SYNC_META. */
HSTREAM BASS_StreamCreateURL(const char *url, DWORD offset, DWORD flags, DOWNLOADPROC *proc, void *user);

/* A stream whose bytes come from `procs`. With STREAMFILE_BUFFER and
 * BASS_STREAM_BLOCK the first reads (format detection) happen inside this call
 * on the caller's thread, later reads on the channel's decode thread; a read
 * returning -1 (or 0) ends the data. `close` is called once for every call
 * with valid arguments: on the thread that drops the channel's last reference,
 * after the last read, or before this call returns when it fails. */
HSTREAM BASS_StreamCreateFileUser(DWORD system, DWORD flags, const BASS_FILEPROCS *procs, void *user);

/* A PCM stream of `freq` Hz and `chans` channels. Only STREAMPROC_PUSH is
 * supported: data comes from BASS_StreamPutData. */
HSTREAM BASS_StreamCreate(DWORD freq, DWORD chans, DWORD flags, STREAMPROC *proc, void *user);

/* Queues 16-bit PCM into a push stream, from any thread; `length` may carry
 * BASS_STREAMPROC_END to mark the end. Returns the bytes now queued, or -1:
 * BASS_ERROR_HANDLE, BASS_ERROR_ENDED after the end mark, BASS_ERROR_NOTAVAIL
 * when the write would exceed BASS_ATTRIB_PUSH_LIMIT (nothing is queued). An
 * empty queue stalls the channel; new data resumes it. */
DWORD BASS_StreamPutData(HSTREAM handle, const void *buffer, DWORD length);

/* File positions (BASS_FILEPOS_*), -1 with BASS_ERROR_NOTAVAIL when not
 * available. CURRENT: bytes the decoder consumed. START: offset of the first
 * audio data. Local file: END = size, BUFFER = END. Network stream: BUFFER =
 * bytes downloaded from the stream's start offset, END = Content-Length when
 * known. Buffered user-file stream: BUFFER = bytes read from the callbacks
 * and not yet consumed, END = size of that read buffer. Push streams and
 * recordings: BASS_ERROR_NOTFILE. */
QWORD BASS_StreamGetFilePosition(HSTREAM handle, DWORD mode);

/* Frees a stream or recording; its syncs stop: once this returns, none of the
 * channel's sync callbacks runs or is running (unless called from one). Safe
 * from any callback. */
BOOL BASS_StreamFree(HSTREAM handle);
BOOL BASS_ChannelFree(DWORD handle);

/* ======================= channels ======================= */

/* Starts (restart FALSE: resumes) a channel on the output. Returns FALSE with
 * BASS_ERROR_START when the device failed, BASS_ERROR_ENDED for a finished
 * channel. */
BOOL BASS_ChannelPlay(DWORD handle, BOOL restart);
/* Pauses; BASS_ERROR_NOPLAY when not playing. */
BOOL BASS_ChannelPause(DWORD handle);
/* Stops; a BASS_STREAM_AUTOFREE channel is freed. For a recording, stops it. */
BOOL BASS_ChannelStop(DWORD handle);
/* BASS_ACTIVE_*; BASS_ACTIVE_STOPPED (with BASS_ERROR_HANDLE) for bad handles. */
DWORD BASS_ChannelIsActive(DWORD handle);

BOOL BASS_ChannelGetInfo(DWORD handle, BASS_CHANNELINFO *info);

/* Decoded length in bytes; -1 with BASS_ERROR_NOTAVAIL when unknown (live
 * streams, user streams, push streams). */
QWORD BASS_ChannelGetLength(DWORD handle, DWORD mode);
/* Bytes of decoded data played so far (seeks included). */
QWORD BASS_ChannelGetPosition(DWORD handle, DWORD mode);
/* Seeks to a byte position of the decoded data (exact to the sample).
 * BASS_ERROR_NOTAVAIL on streams that cannot seek, BASS_ERROR_POSITION past
 * the end. */
BOOL BASS_ChannelSetPosition(DWORD handle, QWORD pos, DWORD mode);
/* Conversions at the channel's source rate and channel count (16-bit). */
double BASS_ChannelBytes2Seconds(DWORD handle, QWORD pos);
QWORD BASS_ChannelSeconds2Bytes(DWORD handle, double pos);

/* Level of what the channel played in the last `length` seconds (at most 1 s),
 * before its volume: with BASS_LEVEL_MONO|BASS_LEVEL_RMS one float, the RMS of
 * all channels, 0..1. */
BOOL BASS_ChannelGetLevelEx(DWORD handle, float *levels, float length, DWORD flags);

/* BASS_ATTRIB_VOL, BASS_ATTRIB_FREQ, BASS_ATTRIB_PUSH_LIMIT. Setting the volume
 * ends a slide in progress. */
BOOL BASS_ChannelSetAttribute(DWORD handle, DWORD attrib, float value);
BOOL BASS_ChannelGetAttribute(DWORD handle, DWORD attrib, float *value);
/* Moves BASS_ATTRIB_VOL linearly to `value` over `time` ms. */
BOOL BASS_ChannelSlideAttribute(DWORD handle, DWORD attrib, float value, DWORD time);

/* BASS_TAG_META: the last non-empty ICY metadata block; NULL (with
 * BASS_ERROR_NOTAVAIL) before any. BASS_TAG_HTTP: the header lines of the
 * response a URL stream was opened with ("ICY" answers too). Either is valid
 * until the calling thread's next call. */
const char *BASS_ChannelGetTags(DWORD handle, DWORD tags);

/* Installs a sync; `proc` runs on the engine's sync thread, in event order,
 * with no engine lock held, when the event's audio is heard; with
 * BASS_SYNC_MIXTIME in `type` as soon as it is mixed (after the channel's
 * earlier mix-time events, not waiting for the others); changes a mix-time
 * sync makes (attributes, a channel it plays) take effect where its event was
 * mixed. Returns the sync handle. */
HSYNC BASS_ChannelSetSync(DWORD handle, DWORD type, QWORD param, SYNCPROC *proc, void *user);
BOOL BASS_ChannelRemoveSync(DWORD handle, HSYNC sync);

/* ======================= recording ======================= */

/* Makes an opened recording device the calling thread's device. */
BOOL BASS_RecordSetDevice(DWORD device);
/* Opens recording device `device` (-1 the default PulseAudio source, 0..n-1
 * the sources, monitors included, in server order) and makes it the calling
 * thread's device. Needs no BASS_Init. BASS_ERROR_ALREADY, BASS_ERROR_DEVICE,
 * BASS_ERROR_DRIVER (no server within about a second). */
BOOL BASS_RecordInit(int device);
/* The calling thread's device: channel count in the high 8 bits of `formats`, `freq`. */
BOOL BASS_RecordGetInfo(BASS_RECORDINFO *info);
/* Starts capturing 16-bit PCM at `freq` Hz (0 = the device's rate) and `chans`
 * channels (0 = the device's own). `proc` gets each block (about 20 ms) on the
 * recording's capture thread; returning FALSE stops the recording. Returns a
 * channel handle for BASS_ChannelFree/Stop, BASS_ChannelSetSync
 * (BASS_SYNC_DEV_FAIL when the source disappears) and BASS_ChannelGetInfo. */
HRECORD BASS_RecordStart(DWORD freq, DWORD chans, DWORD flags, RECORDPROC *proc, void *user);
/* Closes the calling thread's device and frees its recordings. */
BOOL BASS_RecordFree(void);

#if defined(__GNUC__)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif
