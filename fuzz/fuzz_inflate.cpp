// Fuzz target: the block decoder with libdeflate's fast path against zlib
// alone on the same zlib payload. Both must give the same outcome, exit
// status, message and inflated bytes; the fast path may leave other bytes of
// the slice past what the block filled, which the decoder does not promise.
// One difference is known and allowed: a stream whose Adler-32 over exactly
// the slice's bytes is right, but whose deflate data break a rule that zlib
// checks and libdeflate does not (zlib's message then names a malformed
// code, length or distance), reads whole on the fast path.
//
// The inflaters themselves are not instrumented, so coverage does not lead
// the fuzzer into their corners; most inputs therefore make a real stream and
// damage it. Input: a mode byte, two bytes, then data.
//   mode bit 0 clear: the data are the payload, the two bytes the slice size
//     (little-endian);
//   set: the data deflated (zlib at level mode>>1 & 7 + 2, or libdeflate when
//     bit 4 is set), then the byte at (two bytes) modulo the stream's length
//     xored with mode | 1, and mode >> 5 bytes cut from the end; the slice
//     size is the data's size.
#include "fuzz_common.h"

#include "vrd/codec_internal.h"

#include <libdeflate.h>
#define ZLIB_CONST
#include <zlib.h>

#include <cstring>
#include <string>

namespace {

VrdCodec *codecOf(bool fast)
{
    VrdCodec *codec = vrdpriv::newCodec(vrdCodecInflate, nullptr, 0, fast);
    if (codec == nullptr)
        fuzz::failCheck("no codec");
    return codec;
}

// Whether zlib refuses the stream for a malformed code, length or distance
// that libdeflate tolerates, rather than for its checksum or its length.
bool toleratedByLibdeflate(const std::vector<uint8_t> &payload, int32_t count)
{
    static const char *const tolerated[] = {
        "invalid bit length repeat", "too many length or distance symbols", "invalid code lengths set",
        "invalid literal/length code", "invalid distance code", "invalid distance too far back",
        "invalid literal/lengths set", "invalid distances set",
    };
    std::vector<uint8_t> out(size_t(count) + 1);
    z_stream s{};
    if (inflateInit(&s) != Z_OK)
        fuzz::failCheck("no inflater");
    s.next_in = payload.data();
    s.avail_in = uInt(payload.size());
    s.next_out = out.data();
    s.avail_out = uInt(count);
    int code = Z_OK;
    while (code == Z_OK)
        code = inflate(&s, Z_NO_FLUSH);
    const std::string message = s.msg != nullptr ? s.msg : "";
    inflateEnd(&s);
    for (const char *m : tolerated)
        if (code == Z_DATA_ERROR && message == m)
            return true;
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static VrdCodec *const fast = codecOf(true), *const zlibOnly = codecOf(false);
    static libdeflate_compressor *const deflater = libdeflate_alloc_compressor(6);
    if (size < 3 || size > 65535)
        return 0;
    const uint8_t mode = data[0];
    const uint32_t two = uint32_t(data[1] | data[2] << 8);
    const uint8_t *rest = data + 3;
    const size_t restSize = size - 3;
    std::vector<uint8_t> payload(rest, rest + restSize);
    int32_t count = int32_t(two);
    if (mode & 1) {
        count = int32_t(restSize);
        payload.resize(compressBound(uLong(restSize)) + 64);
        size_t n = 0;
        if (mode & 16) {
            n = libdeflate_zlib_compress(deflater, rest, restSize, payload.data(), payload.size());
        } else {
            uLongf z = uLongf(payload.size());
            compress2(payload.data(), &z, rest, uLong(restSize), ((mode >> 1) & 7) + 2);
            n = z;
        }
        payload.resize(n);
        if (!payload.empty())
            payload[two % payload.size()] ^= uint8_t(mode | 1);
        payload.resize(payload.size() - std::min<size_t>(payload.size(), mode >> 5));
    }
    const uint32_t length = uint32_t(payload.size());
    std::vector<uint8_t> a(size_t(count) + 1, 0xA5), b(size_t(count) + 1, 0xA5);
    VrdBlockResult ra, rb;
    vrdDecodeBlock(fast, length, payload.data(), length, a.data(), vrdLittleEndian, 1, count, vrdCompZlib, &ra);
    vrdDecodeBlock(zlibOnly, length, payload.data(), length, b.data(), vrdLittleEndian, 1, count, vrdCompZlib, &rb);
    if (ra.outcome == vrdBlockWhole && rb.outcome == vrdBlockFatal && toleratedByLibdeflate(payload, count))
        return 0;
    if (ra.outcome != rb.outcome || ra.exitStatus != rb.exitStatus || ra.filled != rb.filled ||
        strcmp(ra.message, rb.message) != 0)
        fuzz::failCheck("the fast inflater's outcome differs from zlib's");
    if (ra.filled > uint64_t(count) || memcmp(a.data(), b.data(), size_t(ra.filled)) != 0)
        fuzz::failCheck("the fast inflater's bytes differ from zlib's");
    if (a[size_t(count)] != 0xA5)
        fuzz::failCheck("the decoder wrote past the slice");
    return 0;
}
