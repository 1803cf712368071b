// The QC report file "C:\Users\Public\G_TEST.txt", created or truncated at
// every write, CR LF line ends:
//   G-sensor QC Static Tested Report
//   ================================
//   -----Pass   (or -----Fail, no line end)
#pragma once

constexpr const char* kTestReportPath = "C:\\Users\\Public\\G_TEST.txt";

// Writes the report; does nothing (returns false) when the file cannot be created.
bool WriteTestReport(bool pass);
