// The download archive: records by kind and server path, kept across runs and shared by two
// writers; files that are no archive refused untouched; the import of a mirrored tree.
#include "mirror/Album.h"
#include "mirror/Archive.h"

#include "support/TempFolder.h"
#include "support/files.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using support::FileBytes;

// Runs one statement on the database at `path` with SQLite itself, past the code under test:
// the first column of its first row, -1 for none.
long long Sql(const fs::path& path, const std::string& sql)
{
    sqlite3* db = nullptr;
    sqlite3_stmt* statement = nullptr;
    sqlite3_open(path.c_str(), &db);
    EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    const long long value = sqlite3_step(statement) == SQLITE_ROW ? sqlite3_column_int64(statement, 0) : -1;
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return value;
}

TEST(Archive, FindsRecordsByKindAndServerPathAlsoAfterReopening)
{
    const support::TempFolder scratch;
    const std::string file = (scratch.Path() / "archive.db").string();
    TArchive(file).Record(TArchive::GalleryKind, "/gallery/tessa/a.jpg", "/d/gallery/tessa/a.jpg", 10, 1700000000);
    struct Row {
        const char* kind;
        const char* path;
        bool found;
    };
    const Row rows[] = {
        {TArchive::GalleryKind, "/gallery/tessa/a.jpg", true}, {TArchive::SetKind, "/gallery/tessa/a.jpg", false},
        {TArchive::GalleryKind, "/gallery/tessa/b.jpg", false}, {TArchive::GalleryKind, "/gallery/tessa/A.jpg", false},
    };
    TArchive archive(file);
    for (const Row& row : rows)
        EXPECT_EQ(archive.Contains(row.kind, row.path), row.found) << row.kind << " " << row.path;
}

TEST(Archive, ServerPathIsTheSubPathBelowTheDestination)
{
    struct Row {
        const char *destination, *folder, *name, *expected;
    };
    const Row rows[] = {
        {"/d/", "/d/\\gallery\\tessa\\trips\\", "pic1.jpg", "/gallery/tessa/trips/pic1.jpg"},
        {"/d", "/d\\scans\\08000\\8436\\", "p01.jpg", "/scans/08000/8436/p01.jpg"},
        {"//d//", "/d///gallery\\\\tessa\\", "a.jpg", "/gallery/tessa/a.jpg"},
        {"demo\\", "demo\\\\gallery\\tessa\\", "a.jpg", "/gallery/tessa/a.jpg"},
        {"/", "/\\gallery\\", "a.jpg", "/gallery/a.jpg"},
        {"/d", "/dx\\gallery\\", "a.jpg", "/dx/gallery/a.jpg"},  // a sibling folder is no sub-path
    };
    for (const Row& row : rows)
        EXPECT_EQ(ArchiveServerPath(row.destination, row.folder, row.name), row.expected) << row.folder;
}

TEST(Archive, RefusesAFileThatIsNoArchiveAndLeavesItAsItWas)
{
    const support::TempFolder scratch;
    const fs::path archive = scratch.Path() / "full.db";
    {
        TArchive full(archive.string());
        for (int i = 0; i < 3000; ++i)
            full.Record(TArchive::GalleryKind, "/gallery/f/" + std::to_string(i) + ".jpg", "/d/x.jpg", i, i);
    }
    struct Row {
        const char* name;
        const char* reason;
    };
    const Row rows[] = {{"text", "not a database"},
                        {"truncated", "malformed"},
                        {"foreign", "another kind"},
                        {"newer", "newer version"}};
    for (const Row& row : rows) {
        const fs::path file = scratch.Path() / row.name;
        if (row.name == std::string("text"))
            support::WriteFile(file, "[TForm1]\nEdit1_Text=/d/\n");
        else if (row.name == std::string("truncated")) {
            fs::copy_file(archive, file);
            fs::resize_file(file, fs::file_size(file) / 2);
        } else
            Sql(file, row.name == std::string("foreign") ? "CREATE TABLE people (name TEXT)" : "PRAGMA user_version = 2");
        const std::string before = FileBytes(file);
        try {
            TArchive refused(file.string());
            ADD_FAILURE() << row.name << " was opened";
        } catch (const EArchiveError& error) {
            EXPECT_NE(error.Message().find(file.string()), std::string::npos) << error.Message();
            EXPECT_NE(error.Message().find(row.reason), std::string::npos) << error.Message();
        }
        EXPECT_EQ(FileBytes(file), before) << row.name;
    }
}

TEST(Archive, TwoArchivesOnOneFileWritingAtOnceLoseNoRecord)
{
    const support::TempFolder scratch;
    const std::string file = (scratch.Path() / "shared.db").string();
    constexpr int PerWriter = 2000;
    const auto write = [&file](const std::string& kind) {
        TArchive archive(file);  // both also create the archive at once
        for (int i = 0; i < PerWriter; ++i)
            archive.Record(kind, "/f/" + std::to_string(i), "/d/f", i, i);
    };
    std::thread first(write, TArchive::GalleryKind);
    std::thread second(write, TArchive::SetKind);
    first.join();
    second.join();
    TArchive archive(file);
    int found = 0;
    for (int i = 0; i < PerWriter; ++i)
        found += archive.Contains(TArchive::GalleryKind, "/f/" + std::to_string(i)) +
                 archive.Contains(TArchive::SetKind, "/f/" + std::to_string(i));
    EXPECT_EQ(found, 2 * PerWriter);
}

TEST(Archive, ImportRecordsTheMirroredFilesWithTheirSizeAndTime)
{
    const support::TempFolder scratch;
    for (const char* name : {"gallery/tessa/a.jpg", "gallery/tessa/trips/b.jpg", "scans/08000/8436/p01.jpg",
                             "gallery/tessa/.tessary-Ab3dEf7h.part", "other/c.jpg", "d.jpg",
                             "gallery/tessa/.album/thumbs/a.jpg", "gallery/tessa/.album/order.txt"}) {
        fs::create_directories((scratch.Path() / name).parent_path());
        support::WriteFile(scratch.Path() / name, "12345");
    }
    // The album's pages are the program's, not the gallery's; a gallery's own page is its file.
    BuildAlbum({scratch.Text(), "index.html", true, {}, {}});
    support::WriteFile(scratch.Path() / "gallery/index.html", "the gallery's own");
    const timespec times[2] = {{1600000000, 0}, {1600000000, 0}};
    ::utimensat(AT_FDCWD, (scratch.Path() / "gallery/tessa/a.jpg").c_str(), times, 0);
    const fs::path file = scratch.Path() / "archive.db";

    EXPECT_EQ(TArchive(file.string()).Import(scratch.Text()), 4);
    EXPECT_TRUE(TArchive(file.string()).Contains(TArchive::GalleryKind, "/gallery/index.html"));
    TArchive archive(file.string());
    EXPECT_TRUE(archive.Contains(TArchive::GalleryKind, "/gallery/tessa/trips/b.jpg"));
    EXPECT_TRUE(archive.Contains(TArchive::SetKind, "/scans/08000/8436/p01.jpg"));
    EXPECT_FALSE(archive.Contains(TArchive::GalleryKind, "/gallery/tessa/.tessary-Ab3dEf7h.part"));
    EXPECT_EQ(Sql(file, "SELECT count(*) FROM files WHERE kind = 'gallery' AND server_path = '/gallery/tessa/a.jpg' "
                        "AND size = 5 AND time = 1600000000 AND local_path LIKE '%/gallery/tessa/a.jpg'"),
              1);
}

// The records of a gallery are read at its first file; a second file of the folder, another
// folder of the gallery, another gallery and a file this job recorded are all answered right.
TEST(Archive, AJobsLookupsFollowItsFoldersAndItsOwnRecords)
{
    const support::TempFolder scratch;
    const std::string file = (scratch.Path() / "archive.db").string();
    {
        TArchive archive(file);
        for (const char* path : {"/gallery/tessa/a/1.jpg", "/gallery/tessa/a/2.jpg", "/gallery/tessa/b/3.jpg",
                                 "/gallery/other/4.jpg", "/scans/08000/8436/p01.jpg"})
            archive.Record(std::string(path).starts_with("/scans/") ? TArchive::SetKind : TArchive::GalleryKind, path,
                           "/d" + std::string(path), 1, 1);
    }
    const std::string destination = scratch.Text() + "dest";
    TJobArchive job(file, destination);
    const struct Row {
        const char* folder;
        const char* name;
        bool recorded;
    } rows[] = {{"\\gallery\\tessa\\a\\", "1.jpg", true},  {"\\gallery\\tessa\\a\\", "2.jpg", true},
                {"\\gallery\\tessa\\a\\", "9.jpg", false}, {"\\gallery\\tessa\\b\\", "3.jpg", true},
                {"\\gallery\\tessa\\b\\", "1.jpg", false}, {"\\gallery\\other\\", "4.jpg", true},
                {"\\scans\\08000\\8436\\", "p01.jpg", true}, {"\\gallery\\tessa\\a\\", "2.jpg", true}};
    for (const Row& row : rows)
        EXPECT_EQ(job.Contains(destination + row.folder, row.name), row.recorded) << row.folder << row.name;
    fs::create_directories(scratch.Path() / "dest/gallery/tessa/a");
    support::WriteFile(scratch.Path() / "dest/gallery/tessa/a/9.jpg", "12345");
    job.Record(destination + "\\gallery\\tessa\\a\\", "9.jpg");
    EXPECT_TRUE(job.Contains(destination + "\\gallery\\tessa\\a\\", "9.jpg"));
    EXPECT_EQ(Sql(file, "SELECT size FROM files WHERE server_path = '/gallery/tessa/a/9.jpg'"), 5);
}

}  // namespace
