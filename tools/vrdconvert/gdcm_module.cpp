// vrdconvert's calls to GDCM, loaded as a module (see gdcm_calls.h). They run
// on file data only in vrdconvert's GDCM child process, and no exception
// leaves them.
#include "gdcm_calls.h"

#include <gdcmDicts.h>
#include <gdcmGlobal.h>
#include <gdcmImage.h>
#include <gdcmImageReader.h>
#include <gdcmJPEG2000Codec.h>
#include <gdcmJPEGCodec.h>
#include <gdcmJPEGLSCodec.h>
#include <gdcmRAWCodec.h>
#include <gdcmRLECodec.h>
#include <gdcmReader.h>
#include <gdcmStringFilter.h>
#include <gdcmTrace.h>
#include <gdcmTransferSyntax.h>
#include <gdcmUIDs.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>

namespace {

using vrdconvert::GdcmImage;

void quiet()
{
    try {
        gdcm::Trace::SetDebug(false);
        gdcm::Trace::SetWarning(false);
        gdcm::Trace::SetError(false);
        // Built once here, before the child processes are forked, rather than in each.
        gdcm::Global::GetInstance().GetDicts().GetDictEntry(gdcm::Tag(0x0028, 0x0010));
    } catch (...) {
    }
}

void fetchTags(const char *path, const uint16_t *tags, size_t count, size_t mostText, uint8_t *block)
{
    block[0] = 0;
    try {
        gdcm::Reader reader;
        reader.SetFileName(path);
        if (!reader.ReadUpToTag(gdcm::Tag(0x7FE0, 0x0010), std::set<gdcm::Tag>()))
            return;
        const gdcm::File &file = reader.GetFile();
        const gdcm::DataSet &ds = file.GetDataSet();
        gdcm::StringFilter filter;
        filter.SetFile(file);
        uint8_t *at = block + 1;
        for (size_t i = 0; i < count; ++i) {
            const gdcm::Tag tag(tags[2 * i], tags[2 * i + 1]);
            std::string text;
            if (ds.FindDataElement(tag) && !ds.GetDataElement(tag).IsEmpty())
                text = filter.ToString(tag);
            const size_t length = std::min(text.size(), mostText);
            at[0] = uint8_t(length >> 8), at[1] = uint8_t(length);
            memcpy(at + 2, text.data(), length);
            at += 2 + length;
        }
        block[0] = 1;
    } catch (...) {
        block[0] = 0;
    }
}

int decodable(const char *uid)
{
    try {
        const gdcm::TransferSyntax ts(gdcm::TransferSyntax::GetTSType(uid));
        if (!ts.IsValid())
            return 0;
        gdcm::RAWCodec raw;
        gdcm::RLECodec rle;
        gdcm::JPEGCodec jpeg;
        gdcm::JPEGLSCodec jpegls;
        gdcm::JPEG2000Codec jpeg2000;
        const gdcm::Codec *codecs[] = {&raw, &rle, &jpeg, &jpegls, &jpeg2000};
        for (const gdcm::Codec *c : codecs)
            if (c->CanDecode(ts))
                return 1;
    } catch (...) {
    }
    return 0;
}

const char *uidName(const char *uid)
{
    try {
        gdcm::UIDs name;
        return name.SetFromUID(uid) ? name.GetName() : nullptr; // GDCM's own table: lives as long as the module
    } catch (...) {
        return nullptr;
    }
}

void decode(const char *path, GdcmImage *r, uint8_t *pixels)
{
    try {
        gdcm::ImageReader reader;
        reader.SetFileName(path);
        if (!reader.Read()) {
            snprintf(r->message, sizeof r->message, "GDCM cannot read the image");
            return;
        }
        const gdcm::Image &image = reader.GetImage();
        const gdcm::PixelFormat &pf = image.GetPixelFormat();
        const unsigned bytes = pf.GetBitsAllocated() / 8;
        if (image.GetDimension(0) != r->columns || image.GetDimension(1) != r->rows || pf.GetSamplesPerPixel() != 1 ||
            (bytes != 1 && bytes != 2 && bytes != 4) || image.GetBufferLength() != r->values * bytes ||
            r->values * bytes > r->room) {
            snprintf(r->message, sizeof r->message, "changed since its tags were read, or GDCM sees another image in it");
            return;
        }
        if (!image.GetBuffer(reinterpret_cast<char *>(pixels)))
            return;
        r->bytes = bytes;
        r->isSigned = pf.GetPixelRepresentation() == 1;
        r->decoded = 1;
    } catch (...) {
        // not decoded: the caller names the transfer syntax
    }
}

} // namespace

const vrdconvert::GdcmCalls *vrdconvert::vrdconvertGdcmCalls(void)
{
    static const GdcmCalls calls = {quiet, fetchTags, decodable, uidName, decode};
    return &calls;
}
