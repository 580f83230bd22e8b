// What a job runs with, typed: the window fills it from its controls, the command line from the
// stored entries, the environment and its options. A job reads nothing else of its host's
// entries.
#pragma once

#include <string>

struct TJobOptions {
    // The ranges the window's controls, the settings file and the command line all keep to.
    static constexpr int PauseMin = 1;
    static constexpr int PauseMax = 15;
    static constexpr int MaxConnections = 8;
    static constexpr int MaxRetries = 20;
    // A body that announces no length stops at this many bytes.
    static constexpr long long DefaultUnsizedBodyLimit = 256LL * 1024 * 1024;
    static constexpr long long MaxUnsizedBodyLimit = 1'000'000'000'000'000'000LL;

    // The destination folder's text, used as given: the walks append paths to it.
    std::string Destination;
    // The job's entry: a folder ID, a member name or a set number, as typed.
    std::string FolderId = "77154";
    std::string Member = "tessa";
    std::string SetNumber = "8436";
    bool HostB = false;
    // The pause after each download; the window changes it while a job runs.
    bool Pause = false;
    int PauseSeconds = 4;
    // The HTTP proxy; no host: none.
    std::string ProxyHost;
    int ProxyPort = 0;
    bool KeepAlive = false;
    // Pictures of a listing downloaded at once (1 to MaxConnections); the pause makes it 1.
    int Connections = 1;
    // A file whose transfer fails keeps its data in a partial file, which the next attempt
    // continues.
    bool Resume = true;
    // A file already there is asked for again, and replaced when it changed on the server.
    bool Update = false;
    // Further tries of a file that failed for a passing cause (0 to MaxRetries).
    int Retries = 0;
    // The download archive's file; empty: no archive.
    std::string ArchivePath;
    long long MaxSize = DefaultUnsizedBodyLimit;
    // After a gallery job, the album's pages of the folders it touched, under this page name.
    bool Album = false;
    std::string AlbumIndex = "index.html";
    // Where the set job finds the instruction pages.
    std::string FtpHost = "ftp.setscans.org";
    int FtpPort = 21;
    std::string WebBase = "http://www.setscans.org";
};
