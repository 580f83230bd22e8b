// Many jobs from one file (--input-file): the list is read and checked as a whole before the
// first job starts, then its jobs run one after another with the options of the command line.
#pragma once

#include "app/CommandLine.h"

#include <string>
#include <vector>

// The command lines of the jobs `text` lists: `base` with the job of each line. Throws
// EUsageError, with `name` and the line's number, for a line that names no job the way the
// command line would take it, and for a text that lists no job.
std::vector<TCommandLine> ListedJobs(const std::string& text, const std::string& name, const TCommandLine& base);

// Runs the jobs listed in the command line's input file ("-": standard input), one a line:
// "folder ID", "member NAME" or "set NUMBER"; blank lines and lines starting with "#" are
// skipped. The exit status is the worst of the jobs'. Throws EUsageError, before any job runs,
// when a line or the command line cannot be carried out or the list names no job.
int RunJobList(const TCommandLine& commandLine);
