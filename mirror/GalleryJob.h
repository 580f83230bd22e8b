// The folder-ID job and the member job: the first gallery page, then the gallery walk from it.
#pragma once

class TJobForm;

// The job for the folder ID of the entry field.
void StartFolderJob(TJobForm& form);
// The job for the member name of the entry field.
void StartMemberJob(TJobForm& form);
