#include "net/FTPDirectoryList.h"

TFTPDirectoryList::TFTPDirectoryList() : Fields(FieldTableSize) {}

void TFTPDirectoryList::Clear()
{
    FileModes.clear();
    FileNames.clear();
    FileDates.clear();
    FileSizes.clear();
}

void TFTPDirectoryList::StartField(int n)
{
    const auto size = static_cast<std::size_t>(n);
    if (Fields.size() < size)
        Fields.resize(size);
    Fields[size - 1].clear();
}

void TFTPDirectoryList::ParseLine(const std::string& line)
{
    if (Fields.size() > FieldTableSize)
        Fields.resize(FieldTableSize);  // give back what an earlier long line took
    int index = 1;
    StartField(index);
    std::size_t pos = 0;
    while (pos < line.size()) {
        if (line[pos] == ' ') {
            StartField(++index);
            while (pos < line.size() && line[pos] == ' ')
                ++pos;
            continue;
        }
        std::string& field = Fields[static_cast<std::size_t>(index - 1)];
        if (field.size() < MaxFieldLength)
            field += line[pos];
        ++pos;
    }
    FieldCount = index;
}

void TFTPUnixList::ParseLine(const std::string& line)
{
    TFTPDirectoryList::ParseLine(line);
    const int n = FieldCount;
    if (n <= 7)
        return;  // "total 24" and other short lines
    FileNames.push_back(Field(n));
    FileSizes.push_back(Field(n - 4));
    FileDates.push_back(Field(n - 3) + " " + Field(n - 2) + " " + Field(n - 1));
    FileModes.push_back(Field(1));
}
