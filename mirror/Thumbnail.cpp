#include "mirror/Thumbnail.h"

#include "platform/files.h"

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include <jpeglib.h>

namespace {

constexpr int Quality = 80;

// libjpeg reports fatal errors through error_exit, which must not return: jump back to the
// guarded call with the library's own words for what went wrong. Its first warning is kept too,
// as a warning while decoding means the picture is damaged.
struct ErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf escape;
    char text[JMSG_LENGTH_MAX];
};

void ErrorExit(j_common_ptr info)
{
    auto* errors = reinterpret_cast<ErrorManager*>(info->err);
    info->err->format_message(info, errors->text);
    std::longjmp(errors->escape, 1);
}

void KeepMessage(j_common_ptr info)
{
    auto* errors = reinterpret_cast<ErrorManager*>(info->err);
    if (errors->text[0] == '\0')
        info->err->format_message(info, errors->text);
}

void InitErrors(ErrorManager& errors)
{
    jpeg_std_error(&errors.base);
    errors.base.error_exit = ErrorExit;
    errors.base.output_message = KeepMessage;
    errors.text[0] = '\0';
}

struct Size {
    int width = 0;
    int height = 0;
};

struct Pixels {
    Size size;
    std::vector<unsigned char> rgb;  // rows of width * 3 bytes, top to bottom
};

// The picture's size brought into the box, the larger side first; a small one stays as it is.
Size Fitted(Size picture, int box)
{
    const int larger = std::max(picture.width, picture.height);
    if (larger <= box)
        return picture;
    const auto scaled = [&](int side) {
        return std::max(1, static_cast<int>((static_cast<long long>(side) * box + larger / 2) / larger));
    };
    return {scaled(picture.width), scaled(picture.height)};
}

// The coarsest of libjpeg's scalings, in eighths, that still gives at least `target` pixels on
// both sides: decoding at a fraction is far cheaper than decoding whole and shrinking afterwards,
// and often gives the thumbnail's size itself.
unsigned ScaleEighths(Size picture, Size target)
{
    for (unsigned eighths = 1; eighths < 8; ++eighths) {
        const auto side = [&](int whole) { return static_cast<int>((whole * eighths + 7) / 8); };
        if (side(picture.width) >= target.width && side(picture.height) >= target.height)
            return eighths;
    }
    return 8;
}

void ReadRows(jpeg_decompress_struct& info, Pixels& out)
{
    out.size = {static_cast<int>(info.output_width), static_cast<int>(info.output_height)};
    const std::size_t stride = static_cast<std::size_t>(out.size.width) * 3;
    out.rgb.resize(stride * static_cast<std::size_t>(out.size.height));
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = out.rgb.data() + stride * info.output_scanline;
        jpeg_read_scanlines(&info, &row, 1);
    }
}

// Only plain C objects live in this frame, so the jump out of libjpeg skips no destructor; the
// pixels belong to the caller. Null on success, else why the picture cannot be read.
const char* DecodeGuarded(std::FILE* file, int box, ErrorManager& errors, Size& whole, Pixels& out)
{
    jpeg_decompress_struct info{};
    info.err = &errors.base;
    if (setjmp(errors.escape) != 0) {
        jpeg_destroy_decompress(&info);
        return errors.text;
    }
    jpeg_create_decompress(&info);
    jpeg_stdio_src(&info, file);
    // A CMYK picture, which this decoder cannot turn into RGB, fails at the start with its
    // reason, as any other picture it cannot read.
    jpeg_read_header(&info, TRUE);
    whole = {static_cast<int>(info.image_width), static_cast<int>(info.image_height)};
    info.scale_num = ScaleEighths(whole, Fitted(whole, box));
    info.scale_denom = 8;
    info.dct_method = JDCT_IFAST;
    info.do_fancy_upsampling = FALSE;
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    ReadRows(info, out);
    jpeg_finish_decompress(&info);
    const bool damaged = errors.base.num_warnings > 0;
    jpeg_destroy_decompress(&info);
    return damaged ? errors.text : nullptr;
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

std::string Decode(const std::string& picture, int box, Size& whole, Pixels& out)
{
    const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(platform::NativePath(picture).c_str(), "rb"));
    if (!file)
        return "cannot read the picture: " + platform::ErrorText(errno);
    ErrorManager errors;
    InitErrors(errors);
    const char* failure = DecodeGuarded(file.get(), box, errors, whole, out);
    if (failure == nullptr)
        return {};
    if (errors.base.num_warnings > 0)
        return std::string("damaged picture: ") + failure;
    return failure;
}

// The sums of one output row's source rows, column by column.
void SumRows(const Pixels& in, int first, int last, std::vector<std::uint32_t>& sums)
{
    const std::size_t stride = static_cast<std::size_t>(in.size.width) * 3;
    std::fill(sums.begin(), sums.end(), 0u);
    for (int y = first; y < last; ++y) {
        const unsigned char* row = in.rgb.data() + stride * static_cast<std::size_t>(y);
        for (std::size_t i = 0; i < stride; ++i)
            sums[i] += row[i];
    }
}

// Where the source span of output index `i` starts when `from` pixels shrink to `to`.
int SpanStart(int i, int from, int to)
{
    return static_cast<int>(static_cast<long long>(i) * from / to);
}

// Each output pixel is the average of the source pixels its area covers (a box filter): no
// source pixel is skipped, so fine detail blurs instead of flickering.
Pixels Shrink(const Pixels& in, Size target)
{
    Pixels out;
    out.size = target;
    out.rgb.resize(static_cast<std::size_t>(target.width) * target.height * 3);
    std::vector<std::uint32_t> sums(static_cast<std::size_t>(in.size.width) * 3);
    unsigned char* to = out.rgb.data();
    for (int y = 0; y < target.height; ++y) {
        const int top = SpanStart(y, in.size.height, target.height);
        const int bottom = std::max(top + 1, SpanStart(y + 1, in.size.height, target.height));
        SumRows(in, top, bottom, sums);
        for (int x = 0; x < target.width; ++x) {
            const int left = SpanStart(x, in.size.width, target.width);
            const int right = std::max(left + 1, SpanStart(x + 1, in.size.width, target.width));
            const std::uint32_t count = static_cast<std::uint32_t>((bottom - top) * (right - left));
            for (int channel = 0; channel < 3; ++channel) {
                std::uint32_t total = 0;
                for (int column = left; column < right; ++column)
                    total += sums[static_cast<std::size_t>(column) * 3 + channel];
                *to++ = static_cast<unsigned char>((total + count / 2) / count);
            }
        }
    }
    return out;
}

// A destination that grows a vector, so the encoded thumbnail needs no second buffer.
struct VectorDestination {
    jpeg_destination_mgr base;
    std::vector<unsigned char>* bytes;
};

void StartBuffer(j_compress_ptr info)
{
    auto* destination = reinterpret_cast<VectorDestination*>(info->dest);
    destination->base.next_output_byte = destination->bytes->data();
    destination->base.free_in_buffer = destination->bytes->size();
}

boolean GrowBuffer(j_compress_ptr info)
{
    auto* destination = reinterpret_cast<VectorDestination*>(info->dest);
    std::vector<unsigned char>& bytes = *destination->bytes;
    const std::size_t used = bytes.size();
    bytes.resize(used * 2);
    destination->base.next_output_byte = bytes.data() + used;
    destination->base.free_in_buffer = bytes.size() - used;
    return TRUE;
}

void EndBuffer(j_compress_ptr info)
{
    auto* destination = reinterpret_cast<VectorDestination*>(info->dest);
    destination->bytes->resize(destination->bytes->size() - destination->base.free_in_buffer);
}

void WriteRows(jpeg_compress_struct& info, const Pixels& pixels)
{
    const std::size_t stride = static_cast<std::size_t>(pixels.size.width) * 3;
    while (info.next_scanline < info.image_height) {
        auto* row = const_cast<JSAMPROW>(pixels.rgb.data() + stride * info.next_scanline);
        jpeg_write_scanlines(&info, &row, 1);
    }
}

// As DecodeGuarded: plain C objects only in this frame; the bytes belong to the caller.
const char* EncodeGuarded(const Pixels& pixels, ErrorManager& errors, VectorDestination& destination)
{
    jpeg_compress_struct info{};
    info.err = &errors.base;
    if (setjmp(errors.escape) != 0) {
        jpeg_destroy_compress(&info);
        return errors.text;
    }
    jpeg_create_compress(&info);
    info.dest = &destination.base;
    info.image_width = static_cast<JDIMENSION>(pixels.size.width);
    info.image_height = static_cast<JDIMENSION>(pixels.size.height);
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, Quality, TRUE);
    info.optimize_coding = FALSE;
    jpeg_start_compress(&info, TRUE);
    WriteRows(info, pixels);
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    return nullptr;
}

std::string Encode(const Pixels& pixels, std::vector<unsigned char>& bytes)
{
    // A thumbnail at this quality takes well under a byte per pixel: one growth at most.
    bytes.resize(std::max<std::size_t>(4096, pixels.rgb.size() / 6));
    VectorDestination destination{{}, &bytes};
    destination.base.init_destination = StartBuffer;
    destination.base.empty_output_buffer = GrowBuffer;
    destination.base.term_destination = EndBuffer;
    ErrorManager errors;
    InitErrors(errors);
    const char* failure = EncodeGuarded(pixels, errors, destination);
    return failure == nullptr ? std::string() : std::string("cannot encode the thumbnail: ") + failure;
}

std::string Store(const std::vector<unsigned char>& bytes, const std::string& thumbnail)
{
    const int error =
        platform::WriteReplacing(thumbnail, {reinterpret_cast<const char*>(bytes.data()), bytes.size()});
    return error == 0 ? std::string() : "cannot write the thumbnail: " + platform::ErrorText(error);
}

}  // namespace

std::string MakeThumbnail(const std::string& picture, const std::string& thumbnail, int box)
{
    if (box < 1)
        return "the thumbnail's size must be at least one pixel";
    Size whole;
    Pixels pixels;
    std::string failure = Decode(picture, box, whole, pixels);
    if (!failure.empty())
        return failure;
    const Size target = Fitted(whole, box);
    if (target.width != pixels.size.width || target.height != pixels.size.height)
        pixels = Shrink(pixels, target);
    std::vector<unsigned char> bytes;
    failure = Encode(pixels, bytes);
    return failure.empty() ? Store(bytes, thumbnail) : failure;
}
