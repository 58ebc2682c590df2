// The program's resources, by their numeric ids: the string table (113 to
// 130), the menu of the menu bar (116) and the dialog templates (117 About,
// 119 rules editor, 120 message browser). Rectangles are in dialog units;
// the window layer scales them to the window.
#ifndef TARNVEX_RESOURCES_RESOURCES_H_
#define TARNVEX_RESOURCES_RESOURCES_H_

#include <cstdint>
#include <string>
#include <vector>

namespace resources {

inline constexpr int kIdAppName = 113;
inline constexpr int kIdIcon = 114;
inline constexpr int kIdMenu = 116;
inline constexpr int kIdAboutTemplate = 117;
inline constexpr int kIdLanguageTemplate = 118;
inline constexpr int kIdRulesTemplate = 119;
inline constexpr int kIdBrowserTemplate = 120;

// Texts of the string table beyond the device's own (113 to 130): the
// buttons and titles of this program's windows, its notices and the names
// of its controls. They are UI texts like the others, so a support file's
// STRINGTABLE lines replace them.
inline constexpr int kIdTextBack = 131;       // "Back" (the message viewer)
inline constexpr int kIdTextOk = 132;         // "OK" (message boxes)
inline constexpr int kIdTextCancel = 133;     // "Cancel"
inline constexpr int kIdTextYes = 134;        // "Yes"
inline constexpr int kIdTextNo = 135;         // "No"
inline constexpr int kIdTitleRules = 136;     // "Rules" (rules editor's title)
inline constexpr int kIdTitleLanguage = 137;  // "Language" (chooser's title)
inline constexpr int kIdTitleAbout = 138;     // "About" (About box's title)
inline constexpr int kIdTitleHelp = 139;  // "Help" (the help viewer's title)
inline constexpr int kIdTextSupportTooBig =
    140;  // a support file over the bound
// The desktop notice of a hold, the tooltip and the question at Exit.
inline constexpr int kIdTextMessageHeld = 141;   // "Message held"
inline constexpr int kIdTextMessagesHeld = 142;  // "Messages held: %d"
inline constexpr int kIdTextExitQuestion = 143;  // "Nothing will be sent ..."
// The names a screen reader gives controls that have no label of their own.
inline constexpr int kIdNamePreviousDay = 144;   // "Previous day" (the "+")
inline constexpr int kIdNameNextDay = 145;       // "Next day" (the "-")
inline constexpr int kIdNameListedDay = 146;     // "Date" (the listed day)
inline constexpr int kIdNameMessageList = 147;   // "Messages"
inline constexpr int kIdNameMessageCount = 148;  // "Number of messages"
inline constexpr int kIdNameStatus = 149;        // "Status"
inline constexpr int kIdNameRuleCount = 150;     // "Number of rules"
inline constexpr int kIdNameMessagePage = 151;   // "Message page" (viewer)
inline constexpr int kFirstExtraUiText = kIdTextBack;
inline constexpr int kLastExtraUiText = kIdNameMessagePage;

// Menu command ids.
inline constexpr int kCmdHelp = 40004;
inline constexpr int kCmdLanguage = 40005;
inline constexpr int kCmdAbout = 40006;
inline constexpr int kCmdHide = 40007;
inline constexpr int kCmdExit = 40008;
inline constexpr int kCmdRules = 40016;
inline constexpr int kCmdUpdate = 40018;
inline constexpr int kCmdShowViewer = 40019;
inline constexpr int kCmdShowBrowser = 40020;

// The interface languages, in catalogue order.
inline constexpr int kLanguageCount = 143;
inline constexpr int kEnglishRow = 30;
struct LanguageRow {
  const char* code;
  const char* display_name;  // code page 1252
};
extern const LanguageRow kLanguageRows[kLanguageCount];
// The menu resource of row k: 116 for English, 50001 + 100 k for the others.
int MenuIdOfRow(int row);

// The ten menu texts of a language, in the order of the menu's entries
// (Use, Action, Update, Rules, Help, Help, Language, About, Hide, Exit).
inline constexpr int kMenuTextCount = 10;
std::vector<std::u16string> LanguageMenuTexts(const char* code);
// True for a language written right to left (Arabic, Hebrew, Persian, Urdu).
bool LanguageIsRightToLeft(const char* code);

// The English string of an id; "" when the table has none.
std::u16string LoadString(int id);

struct MenuItem {
  std::u16string text;          // empty for a separator
  int command = 0;              // 0 for a popup or a separator
  std::vector<MenuItem> items;  // a popup's entries
  bool separator = false;
};

// The menu resource `id` (116 for English, 50001 + 100 k for row k): its
// top-level popups. All have the same structure and command ids. An unknown
// id gives an empty menu.
std::vector<MenuItem> LoadMenu(int id);

enum class ControlKind {
  kText,            // static text
  kIcon,            // static icon
  kEdit,            // edit field
  kReadOnlyEdit,    // read-only edit
  kMultiLineEdit,   // read-only multi-line edit with scroll bar
  kMultiLineInput,  // editable multi-line edit with scroll bar
  kButton,          // push button
  kCheckBox,        // auto check box
  kListBox,         // list box
};

struct ControlTemplate {
  int id;  // resources/control_ids.h names them
  ControlKind kind;
  std::u16string text;
  int x, y, width, height;
  bool border = false;
  bool right_aligned = false;
  // The one control that takes the window's spare height (the browser's
  // list); every control below it moves down by that much.
  bool stretch = false;
  // List boxes: the list sorts its entries; more than one can be selected.
  bool sorted = false;
  bool multi_select = false;
  // What a screen reader calls a control that has no text of its own: the
  // text control that labels it (its name follows the label when a language
  // relabels it), or else a UI text saying what it is for. 0: none.
  int label = 0;
  int name_text = 0;
};
// A height of 0 dialog units: one line of text (the browser's status line).

struct DialogTemplate {
  int id = 0;
  int width = 0, height = 0;  // dialog units
  std::vector<ControlTemplate> controls;
};

// The template `id`; an empty template (id 0) when there is none.
DialogTemplate LoadDialogTemplate(int id);

}  // namespace resources

#endif  // TARNVEX_RESOURCES_RESOURCES_H_
