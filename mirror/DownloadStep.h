// The file download step: stores one file under the destination, unless it is there already.
#pragma once

#include <string>

class TJobForm;
class TFileTransfer;

// Stores `fileName` from `url` in `localFolder` over `transfer`, then pauses if the pause is
// on. A failure is a log line and a count in the tally, never an exception.
void DownloadFile(TJobForm& form, TFileTransfer& transfer, const std::string& localFolder, const std::string& url,
                  const std::string& fileName);
