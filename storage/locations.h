// Where the program's files live: the install folder, the storage cards, the
// root folder, the database folder and the names of the database files, with
// the small file-system operations around them.
//
// All paths are CE paths: absolute, backslash-separated, at most 259
// characters. A path that would be longer is refused (the builder yields an
// empty path, which every probe and open rejects) rather than cut, since a
// cut path names some other file.
//
// The state is process-wide. Start-up fills it on the user-interface thread
// (FindInstallFolder, then PrepareFolders); afterwards it is only read.
#ifndef TARNVEX_STORAGE_LOCATIONS_H_
#define TARNVEX_STORAGE_LOCATIONS_H_

#include <string>

#include "base/status.h"
#include "storage/init.h"

namespace storage {

inline constexpr char kProductWord[] = "Tarnvex";
inline constexpr char16_t kProductWordW[] = u"Tarnvex";
inline constexpr int kMaxStorageCards = 16;
inline constexpr size_t kCardSlotChars = 64;  // 63 characters and the NUL
inline constexpr size_t kMaxPathChars = 259;
inline constexpr char kSummaryDbFile[] = "Tarnvex_0.db";
inline constexpr char kRulesDbFile[] = "Rules_0.db";
inline constexpr char kSummaryTableName[] = "Tarnvex";
inline constexpr char kRulesTableName[] = "Rules";

// Forgets everything found so far (tests start each case afresh).
void ResetLocations();

// Keeps every database file in one host folder instead of the device's
// places (the gateway's --data DIR): the folder becomes the root of the
// files' paths, the database folder is its top ("\Rules_0.db",
// "\Gateway.db" are DIR/Rules_0.db, DIR/Gateway.db) and no card or install
// folder is searched. Such a folder is no device image: its narrow texts are
// UTF-8, whatever a device's code page would be. Not ok when `host_dir` is
// not a folder. Process-wide, like the rest of the locations; call it once,
// before the first database is opened.
base::Status UseDataFolder(const std::string& host_dir);

// The install folder (wide), its narrow copy (low bytes), and the chosen card.
std::u16string InstallFolder();
std::string InstallFolderNarrow();
std::u16string ChosenCard();
std::string DatabaseFolder();

}  // namespace storage

// Start-up: finds the folder that holds the running program. `product` is
// text 113 of the interface texts, "Tarnvex".
void FindInstallFolder(const char16_t* product = storage::kProductWordW);

// Refills the card table from the device (at most 16 names). A card whose
// name does not fit its 64-character slot is left out.
void EnumStorageCards();
int StorageCardCount();
std::u16string StorageCardName(int index);  // "" outside 0 .. count-1

// The install folder, or "\Tarnvex" when it is empty.
std::u16string GetRootFolder();
// {root}\emn, from the narrow install folder (or "\Tarnvex").
std::string GetSupportFolder();

// First step of the database initialisation: clears the database folder,
// chooses the first card (if any) and creates {root}\dba.
void PrepareFolders();

// True when a new summary database could go on the chosen card and the
// program does not run from that card: the user chooses ("Use CF Card?").
bool CardChoiceNeeded();
// Where a new summary database goes: on the chosen card unless the choice
// was needed and not answered Yes. Creates the folder. The table name is
// "Tarnvex".
void ChooseNewDbPath(storage::CardAnswer answer, std::string* path,
                     std::string* table);

// Looks for `file` under the sub-path (Tarnvex\dba) on the card, at the top
// of the main storage and in the program-files folder, in that order.
bool FindDbFolder(const char* file, const char* card, const char* sub_path,
                  std::string* folder);

// Path of "Tarnvex_0.db" and the table name; fixes the database folder on the
// first success.
bool GetMessageDbPath(std::string* path, std::string* table);
// Path of "Rules_0.db" and the table name; true only when the file exists
// (a missing one is to be created next to the summary database).
bool GetRulesDbPath(std::string* path, std::string* table);
// "%s%s.db" from the database folder and the store's display name.
std::string StoreDbPath(const char* store_name);

// Creates every directory along the path, passing over those that exist or
// cannot be made.
void CreatePath(const char* path);
// The path up to and including its last backslash past position 0; leaves
// `folder` unchanged when there is none.
void FolderOf(const char* path, std::string* folder);

// Existence probes (none creates a file). ProbeFile: readable while others
// read or write it. FileExists: readable while others only read it.
// CanOpenForWriting: writable with no sharing; false for the running
// program's own executable.
bool ProbeFile(const char* path);
bool FileExists(const char16_t* path);
bool CanOpenForWriting(const char16_t* path);

#endif  // TARNVEX_STORAGE_LOCATIONS_H_
