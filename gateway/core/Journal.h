// The gateway's own lines on standard error, each with the priority prefix
// journald reads ("<3>" error, "<4>" warning, "<6>" info). Safe from any thread.
#pragma once

#include <string>

enum JournalPriority { kError = 3, kWarning = 4, kInfo = 6 };

void Journal(JournalPriority priority, const std::string& line);
