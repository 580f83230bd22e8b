// The folder-ID job and the member job: the first gallery page, then the gallery walk from it.
#pragma once

class TJobState;

// The job for the folder ID of the entry field.
void StartFolderJob(TJobState& job);
// The job for the member name of the entry field.
void StartMemberJob(TJobState& job);
