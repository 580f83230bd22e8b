#include "mirror/Archive.h"

#include "mirror/Album.h"
#include "platform/catalogue.h"
#include "platform/files.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <set>
#include <utility>

namespace {

// How long a run waits for another one that is writing the same archive.
constexpr int BusyMilliseconds = 10000;

// Native separators and no runs of them.
std::string Collapsed(const std::string& path)
{
    std::string collapsed;
    for (const char c : platform::NativePath(path))
        if (c != '/' || collapsed.empty() || collapsed.back() != '/')
            collapsed += c;
    return collapsed;
}

}  // namespace

void TArchive::TCloser::operator()(sqlite3* db) const
{
    sqlite3_close(db);
}

void TArchive::TCloser::operator()(sqlite3_stmt* statement) const
{
    sqlite3_finalize(statement);
}

TArchive::TArchive(const std::string& path) : path_(platform::NativePath(path))
{
    Open();
    CheckSchema();
    // Readers never wait for the writer, and a commit waits for no flush to the disk: a crash
    // of the machine may lose the last records, never the archive.
    Execute("PRAGMA journal_mode=WAL");
    Execute("PRAGMA synchronous=NORMAL");
    lookup_ = Prepare("SELECT 1 FROM files WHERE kind = ?1 AND server_path = ?2");
    below_ = Prepare(
        "SELECT server_path FROM files WHERE kind = ?1 AND server_path >= ?2 AND server_path < ?3 ORDER BY server_path");
    insert_ = Prepare("INSERT OR REPLACE INTO files (kind, server_path, local_path, size, time) "
                      "VALUES (?1, ?2, ?3, ?4, ?5)");
}

TArchive::~TArchive() = default;

void TArchive::Open()
{
    sqlite3* db = nullptr;
    const int code =
        sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    db_.reset(db);
    if (code != SQLITE_OK)
        Fail(code);
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, BusyMilliseconds);
}

// Nothing is written before the file has shown itself an archive of ours, or empty: a file
// that is not one stays as it was. The write lock makes two runs that create one archive at
// once create it once.
void TArchive::CheckSchema()
{
    Execute("BEGIN IMMEDIATE");
    std::string refusal;
    try {
        const TStatement version = Prepare("PRAGMA user_version");
        if (sqlite3_step(version.get()) != SQLITE_ROW)
            Fail(sqlite3_errcode(db_.get()));
        const int found = sqlite3_column_int(version.get(), 0);
        const TStatement objects = Prepare("SELECT name FROM sqlite_master");
        std::set<std::string> names;
        int code;
        while ((code = sqlite3_step(objects.get())) == SQLITE_ROW)
            names.insert(reinterpret_cast<const char*>(sqlite3_column_text(objects.get(), 0)));
        if (code != SQLITE_DONE)
            Fail(code);
        if (found > SchemaVersion) {
            refusal = platform::Fill(_("it was written by a newer version of the program (archive version %1, this "
                                       "version knows %2)"),
                                     {std::to_string(found), std::to_string(SchemaVersion)});
        } else if (names.empty() && found == 0) {
            Execute("CREATE TABLE files (kind TEXT NOT NULL, server_path TEXT NOT NULL, local_path TEXT NOT NULL, "
                    "size INTEGER NOT NULL, time INTEGER NOT NULL, PRIMARY KEY (kind, server_path)) WITHOUT ROWID");
            Execute(("PRAGMA user_version = " + std::to_string(SchemaVersion)).c_str());
        } else if (found != SchemaVersion || names != std::set<std::string>{"files"}) {
            refusal = _("it is a database of another kind, not a download archive");
        }
    } catch (...) {
        sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    if (!refusal.empty()) {
        sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
        throw EArchiveError(platform::Fill(_("cannot use the archive %1: %2"), {path_, refusal}));
    }
    Execute("COMMIT");
}

TArchive::TStatement TArchive::Prepare(const char* sql)
{
    sqlite3_stmt* statement = nullptr;
    const int code = sqlite3_prepare_v3(db_.get(), sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr);
    TStatement prepared(statement);
    if (code != SQLITE_OK)
        Fail(code);
    return prepared;
}

void TArchive::Execute(const char* sql)
{
    const int code = sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr);
    if (code != SQLITE_OK)
        Fail(code);
}

void TArchive::Fail(int code)
{
    const char* reason = db_ ? sqlite3_errmsg(db_.get()) : sqlite3_errstr(code);
    throw EArchiveError(platform::Fill(_("cannot use the archive %1: %2"), {path_, reason}));
}

bool TArchive::Contains(const std::string& kind, const std::string& serverPath)
{
    const std::lock_guard lock(mutex_);
    sqlite3_stmt* lookup = lookup_.get();
    sqlite3_bind_text(lookup, 1, kind.data(), static_cast<int>(kind.size()), SQLITE_STATIC);
    sqlite3_bind_text(lookup, 2, serverPath.data(), static_cast<int>(serverPath.size()), SQLITE_STATIC);
    const int code = sqlite3_step(lookup);
    sqlite3_reset(lookup);
    if (code != SQLITE_ROW && code != SQLITE_DONE)
        Fail(code);
    return code == SQLITE_ROW;
}

// Every path that starts with "folder/" sorts from "folder/" up to "folder0" ("0" follows "/").
std::vector<std::string> TArchive::RecordedBelow(const std::string& kind, const std::string& folder)
{
    if (folder.empty())
        return {};
    const std::lock_guard lock(mutex_);
    const std::string end = folder.substr(0, folder.size() - 1) + static_cast<char>(folder.back() + 1);
    sqlite3_stmt* below = below_.get();
    sqlite3_bind_text(below, 1, kind.data(), static_cast<int>(kind.size()), SQLITE_STATIC);
    sqlite3_bind_text(below, 2, folder.data(), static_cast<int>(folder.size()), SQLITE_STATIC);
    sqlite3_bind_text(below, 3, end.data(), static_cast<int>(end.size()), SQLITE_STATIC);
    std::vector<std::string> paths;
    int code;
    while ((code = sqlite3_step(below)) == SQLITE_ROW)
        paths.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(below, 0)),
                           static_cast<size_t>(sqlite3_column_bytes(below, 0)));
    sqlite3_reset(below);
    if (code != SQLITE_DONE)
        Fail(code);
    return paths;
}

void TArchive::Record(const std::string& kind, const std::string& serverPath, const std::string& localPath,
                      long long size, long long time)
{
    const std::lock_guard lock(mutex_);
    Insert(kind, serverPath, localPath, size, time);
}

void TArchive::Insert(const std::string& kind, const std::string& serverPath, const std::string& localPath,
                      long long size, long long time)
{
    sqlite3_stmt* insert = insert_.get();
    sqlite3_bind_text(insert, 1, kind.data(), static_cast<int>(kind.size()), SQLITE_STATIC);
    sqlite3_bind_text(insert, 2, serverPath.data(), static_cast<int>(serverPath.size()), SQLITE_STATIC);
    sqlite3_bind_text(insert, 3, localPath.data(), static_cast<int>(localPath.size()), SQLITE_STATIC);
    sqlite3_bind_int64(insert, 4, size);
    sqlite3_bind_int64(insert, 5, time);
    const int code = sqlite3_step(insert);
    sqlite3_reset(insert);
    if (code != SQLITE_DONE)
        Fail(code);
}

int TArchive::Import(const std::string& folder)
{
    namespace fs = std::filesystem;
    const std::lock_guard lock(mutex_);
    Execute("BEGIN IMMEDIATE");
    int count = 0;
    try {
        for (const auto& [top, kind] : {std::pair<std::string, const char*>{"gallery", GalleryKind}, {"scans", SetKind}}) {
            const fs::path root = fs::path(platform::NativePath(folder)) / top;
            std::error_code error;
            if (!fs::is_directory(root, error))
                continue;
            fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, error);
            for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
                const fs::path& file = it->path();
                const std::string name = file.filename().string();
                if (name == AlbumFolder) {
                    it.disable_recursion_pending();
                    continue;
                }
                struct stat info {};
                if (::lstat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || platform::IsTempFileName(name) ||
                    platform::IsPartialName(name) || (name.ends_with(".html") && IsAlbumPage(file.string())))
                    continue;
                const std::string serverPath = "/" + top + "/" + file.lexically_relative(root).generic_string();
                Insert(kind, serverPath, file.string(), info.st_size, info.st_mtim.tv_sec);
                ++count;
            }
            if (error)
                throw EArchiveError(platform::Fill(_("cannot import %1: %2"), {root.string(), error.message()}));
        }
        Execute("COMMIT");
    } catch (...) {
        sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    return count;
}

std::string ArchiveServerPath(const std::string& destination, const std::string& localFolder,
                              const std::string& fileName)
{
    std::string base = Collapsed(destination);
    while (!base.empty() && base.back() == '/')
        base.pop_back();
    std::string sub = Collapsed(localFolder);
    if (sub.starts_with(base) && (sub.size() == base.size() || sub[base.size()] == '/'))
        sub.erase(0, base.size());
    return Collapsed("/" + sub + "/" + fileName);
}

namespace {

// Set files lie below "/scans/", pictures below "/gallery/": the local tree mirrors the server's.
const char* KindOf(const std::string& serverPath)
{
    return serverPath.starts_with("/scans/") ? TArchive::SetKind : TArchive::GalleryKind;
}

}  // namespace

TJobArchive::TJobArchive(const std::string& path, const std::string& destination)
    : archive_(path), destination_(destination)
{
}

bool TJobArchive::Contains(const std::string& localFolder, const std::string& fileName)
{
    const std::string path = KeyOf(localFolder, fileName);
    return std::binary_search(recorded_.begin(), recorded_.end(), path);
}

void TJobArchive::Record(const std::string& localFolder, const std::string& fileName)
{
    const std::string path = KeyOf(localFolder, fileName);
    const auto place = std::lower_bound(recorded_.begin(), recorded_.end(), path);
    if (place != recorded_.end() && *place == path)
        return;
    const std::string local = localFolder + fileName;
    archive_.Record(KindOf(path), path, platform::NativePath(local), platform::FileSizeOf(local),
                    static_cast<long long>(std::time(nullptr)));
    recorded_.insert(place, path);
}

// The files of a folder come one after the other: its server path is found at its first file.
std::string TJobArchive::KeyOf(const std::string& localFolder, const std::string& fileName)
{
    if (localFolder != folder_) {
        serverFolder_ = ArchiveServerPath(destination_, localFolder, "");
        if (!serverFolder_.ends_with('/'))
            serverFolder_ += '/';
        folder_ = localFolder;
        const size_t second = serverFolder_.find('/', 1);
        const size_t third = second == std::string::npos ? second : serverFolder_.find('/', second + 1);
        const std::string top = serverFolder_.substr(0, third == std::string::npos ? third : third + 1);
        if (top != top_) {
            recorded_ = archive_.RecordedBelow(KindOf(top), top);
            top_ = top;
        }
    }
    return serverFolder_ + fileName;
}
