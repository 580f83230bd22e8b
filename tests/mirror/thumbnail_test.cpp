// Thumbnails: pictures made here with libjpeg go in, and what comes out is read back with it.
#include "mirror/Thumbnail.h"

#include "mirror/Album.h"
#include "support/TempFolder.h"
#include "support/files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <fcntl.h>
#include <jpeglib.h>
#include <sys/stat.h>

namespace {

struct Rgb {
    int r, g, b;
};

// Four quarters of plain colour: a thumbnail that mixes up channels, rows or quarters shows it.
constexpr Rgb Quarters[] = {{220, 30, 30}, {30, 200, 40}, {20, 40, 210}, {240, 240, 240}};

Rgb QuarterColour(int quarter, bool gray)
{
    const Rgb c = Quarters[quarter];
    if (!gray)
        return c;
    const int level = (c.r + c.g + c.b) / 3;
    return {level, level, level};
}

enum class Kind { Baseline, Progressive, Gray, Cmyk };

std::string EncodePicture(int width, int height, Kind kind)
{
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);
    const bool gray = kind == Kind::Gray;
    info.image_width = static_cast<JDIMENSION>(width);
    info.image_height = static_cast<JDIMENSION>(height);
    const int components = gray ? 1 : kind == Kind::Cmyk ? 4 : 3;
    info.input_components = components;
    info.in_color_space = gray ? JCS_GRAYSCALE : kind == Kind::Cmyk ? JCS_CMYK : JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 90, TRUE);
    if (kind == Kind::Progressive)
        jpeg_simple_progression(&info);
    jpeg_start_compress(&info, TRUE);
    std::vector<unsigned char> row(static_cast<std::size_t>(width) * components);
    while (info.next_scanline < info.image_height) {
        const int y = static_cast<int>(info.next_scanline);
        for (int x = 0; x < width; ++x) {
            const Rgb c = QuarterColour((y < height / 2 ? 0 : 2) + (x < width / 2 ? 0 : 1), gray);
            if (components != 3) {
                std::fill_n(row.begin() + x * components, components, static_cast<unsigned char>(c.r));
                continue;
            }
            row[x * 3] = static_cast<unsigned char>(c.r);
            row[x * 3 + 1] = static_cast<unsigned char>(c.g);
            row[x * 3 + 2] = static_cast<unsigned char>(c.b);
        }
        JSAMPROW rows[] = {row.data()};
        jpeg_write_scanlines(&info, rows, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    std::string bytes(reinterpret_cast<const char*>(buffer), size);
    std::free(buffer);
    return bytes;
}

struct Decoded {
    int width = 0;
    int height = 0;
    long warnings = 0;
    std::vector<unsigned char> rgb;

    Rgb At(int x, int y) const
    {
        const unsigned char* p = rgb.data() + (static_cast<std::size_t>(y) * width + x) * 3;
        return {p[0], p[1], p[2]};
    }
};

// Decodes whole and in RGB; only called on files the thumbnail maker says it wrote.
Decoded DecodeFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    jpeg_decompress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    jpeg_read_header(&info, TRUE);
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    Decoded decoded;
    decoded.width = static_cast<int>(info.output_width);
    decoded.height = static_cast<int>(info.output_height);
    decoded.rgb.resize(static_cast<std::size_t>(decoded.width) * decoded.height * 3);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = decoded.rgb.data() + static_cast<std::size_t>(info.output_scanline) * decoded.width * 3;
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    decoded.warnings = errors.num_warnings;
    jpeg_destroy_decompress(&info);
    return decoded;
}

void WriteFile(const std::filesystem::path& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

struct Row {
    const char* name;
    std::string picture;  // the picture file's bytes
    std::string old;      // a thumbnail there before; empty: none
    bool missingFolder;   // the thumbnail's folder does not exist
    int width, height;    // of the thumbnail; 0: an error is expected
    bool gray;
};

const std::string Whole = EncodePicture(640, 480, Kind::Baseline);
const std::string OldThumbnail(100000, 'x');

std::vector<Row> Rows()
{
    return {
        {"baseline", Whole, "", false, 200, 150, false},
        {"progressive", EncodePicture(640, 480, Kind::Progressive), "", false, 200, 150, false},
        {"grayscale", EncodePicture(640, 480, Kind::Gray), "", false, 200, 150, true},
        {"portrait", EncodePicture(300, 1000, Kind::Baseline), "", false, 60, 200, false},
        {"eighth scale fits exactly", EncodePicture(1600, 1200, Kind::Baseline), "", false, 200, 150, false},
        {"small is not enlarged", EncodePicture(100, 80, Kind::Baseline), "", false, 100, 80, false},
        {"an eighth one pixel too wide", EncodePicture(1603, 1200, Kind::Baseline), "", false, 200, 150, false},
        {"CMYK", EncodePicture(640, 480, Kind::Cmyk), "", false, 0, 0, false},
        {"replaces an old thumbnail whole", Whole, OldThumbnail, false, 200, 150, false},
        {"damaged", Whole.substr(0, Whole.size() / 2), "", false, 0, 0, false},
        {"damaged leaves the old thumbnail", Whole.substr(0, Whole.size() / 2), OldThumbnail, false, 0, 0, false},
        {"not a JPEG", "GIF89a and then some bytes that are no picture", "", false, 0, 0, false},
        {"empty file", std::string(), "", false, 0, 0, false},
        {"no folder for the thumbnail", Whole, "", true, 0, 0, false},
    };
}

void ExpectQuarterColours(const Decoded& thumbnail, bool gray)
{
    for (int quarter = 0; quarter < 4; ++quarter) {
        const int x = thumbnail.width / 4 + (quarter % 2) * thumbnail.width / 2;
        const int y = thumbnail.height / 4 + (quarter / 2) * thumbnail.height / 2;
        const Rgb want = QuarterColour(quarter, gray), got = thumbnail.At(x, y);
        EXPECT_NEAR(got.r, want.r, 24) << "quarter " << quarter;
        EXPECT_NEAR(got.g, want.g, 24) << "quarter " << quarter;
        EXPECT_NEAR(got.b, want.b, 24) << "quarter " << quarter;
    }
}

TEST(Thumbnail, FitsTheBoxOrSaysWhyNot)
{
    for (const Row& row : Rows()) {
        SCOPED_TRACE(row.name);
        support::TempFolder folder;
        const auto picture = folder.Path() / "picture.jpg";
        WriteFile(picture, row.picture);
        const auto thumbnail = (row.missingFolder ? folder.Path() / "absent" : folder.Path()) / "picture_thumb.jpg";
        if (!row.old.empty())
            WriteFile(thumbnail, row.old);

        const std::string error = MakeThumbnail(picture.string(), thumbnail.string(), 200);

        std::vector<std::string> expected = {"picture.jpg " + std::to_string(row.picture.size())};
        if (row.width == 0) {
            EXPECT_NE(error, "");
            if (!row.old.empty())
                expected.push_back("picture_thumb.jpg " + std::to_string(row.old.size()));
            EXPECT_EQ(folder.Tree(), expected);
            continue;
        }
        ASSERT_EQ(error, "");
        expected.push_back("picture_thumb.jpg " + std::to_string(std::filesystem::file_size(thumbnail)));
        EXPECT_EQ(folder.Tree(), expected);
        const Decoded made = DecodeFile(thumbnail);
        EXPECT_EQ(made.warnings, 0);
        EXPECT_EQ(made.width, row.width);
        EXPECT_EQ(made.height, row.height);
        ExpectQuarterColours(made, row.gray);
    }
}

TEST(Thumbnail, MissingPictureCannotBeRead)
{
    support::TempFolder folder;
    const std::string error =
        MakeThumbnail((folder.Path() / "none.jpg").string(), (folder.Path() / "none_thumb.jpg").string(), 200);
    EXPECT_EQ(error.rfind("cannot read the picture", 0), 0u) << error;
    EXPECT_TRUE(folder.Tree().empty());
}

// The album makes a picture's thumbnail once, and again only when the picture's size or time
// changed; a damaged picture gets a placeholder and a log line each time, never a failed album.
TEST(Thumbnail, AlbumMakesThemAgainOnlyForChangedPictures)
{
    namespace fs = std::filesystem;
    support::TempFolder scratch;
    const fs::path folder = scratch.Path() / "g";
    fs::create_directories(folder);
    WriteFile(folder / "a.jpg", Whole);
    WriteFile(folder / "b.jpg", EncodePicture(320, 240, Kind::Progressive));
    WriteFile(folder / "c.jpg", Whole.substr(0, Whole.size() / 2));
    std::vector<std::string> log;
    const TAlbumRequest request{scratch.Text(), "index.html", true, {},
                                [&log](const std::string& line) { log.push_back(line); }};

    EXPECT_EQ(BuildAlbum(request).Thumbnails, 2);
    EXPECT_EQ(DecodeFile(folder / ".album/thumbs/a.jpg").width, ThumbnailBox);
    const std::string page = support::FileBytes(folder / "index.html");
    EXPECT_NE(page.find("<img src=\".album/thumbs/b.jpg\" alt=\"b.jpg\""), std::string::npos);
    EXPECT_NE(page.find("data-name=\"c.jpg\" data-size=\""), std::string::npos);
    EXPECT_EQ(page.find(".album/thumbs/c.jpg"), std::string::npos);
    EXPECT_EQ(BuildAlbum(request).Thumbnails, 0);
    const timespec later[2] = {{1700000000, 0}, {1700000000, 0}};
    ::utimensat(AT_FDCWD, (folder / "a.jpg").c_str(), later, 0);
    WriteFile(folder / "b.jpg", EncodePicture(480, 640, Kind::Baseline));
    EXPECT_EQ(BuildAlbum(request).Thumbnails, 2);
    EXPECT_EQ(DecodeFile(folder / ".album/thumbs/b.jpg").height, ThumbnailBox);
    EXPECT_EQ(log.size(), 3u);
    EXPECT_EQ(log.back().rfind("** No thumbnail of g/c.jpg: damaged picture", 0), 0u) << log.back();
}

}  // namespace
