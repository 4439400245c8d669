// The plain file that the ADO stand-in (ado_standin.dll) keeps in place of a
// Jet database, and that the Windows tests prepare and read:
//
//   Corvel terminal database: Properties(ip)     <- header: the one table it holds
//   10.0.0.7                                     <- one row a line, the ip value
//
// A file whose first line does not begin with kTerminalFileMagic is not a
// database; a header without the table leaves the table missing. Lines end in
// CR LF when the stand-in writes them; a line feed alone is read too.
// create-database.sh writes such a file from the shell.
#pragma once

namespace corvel::testing::ado {

inline constexpr char kTerminalFileMagic[] = "Corvel terminal database:";
inline constexpr char kTerminalFileHeader[] = "Corvel terminal database: Properties(ip)";
// The largest file the stand-in reads; a longer one is not a database.
inline constexpr unsigned long kTerminalFileMaxBytes = 1024 * 1024;

// Exported by the stand-in: the number of its COM objects alive, so that a
// test can see that every object the product created was released.
inline constexpr char kObjectCountExport[] = "AdoStandinObjectCount";
inline constexpr wchar_t kStandinModule[] = L"ado_standin.dll";

}  // namespace corvel::testing::ado
