// The ids of the controls of the program's dialogs, each named once and
// grouped by dialog. The numbers are fixed: support files relabel controls
// by them (CONTROL lines), the templates carry them, and a control's id is
// its object name in the window. Where two dialogs have a control with one
// meaning (the Sender label of the browser and of the rules editor) it has
// one id, named under shared_ids; one number may also stand for unrelated
// controls of different dialogs (1026), each named under its own dialog.
#ifndef TARNVEX_RESOURCES_CONTROL_IDS_H_
#define TARNVEX_RESOURCES_CONTROL_IDS_H_

namespace resources {

// Ids several dialogs answer or carry.
namespace shared_ids {
// What Enter and Escape end a dialog with; no template control has them.
inline constexpr int kOk = 1;
inline constexpr int kCancel = 2;
// The "Close" button of the About box and the rules editor.
inline constexpr int kCloseButton = 20013;
// The "Ok" button of the language chooser.
inline constexpr int kOkButton = 20015;
// The labels of the browser's and the rules editor's fields.
inline constexpr int kSenderLabel = 1015;
inline constexpr int kRecipientsLabel = 1024;
inline constexpr int kMessageLabel = 1016;
}  // namespace shared_ids

// The About box (template 117); the Close button is shared_ids::kCloseButton.
namespace about_ids {
inline constexpr int kIcon = 65535;            // the program icon
inline constexpr int kProductName = 20004;     // set when the box opens
inline constexpr int kDescription = 20008;     // what the program does
inline constexpr int kVersionLabel = 40013;    // "Version"
inline constexpr int kVersion = 20009;         // "1.0"
inline constexpr int kCopyrightLabel = 20002;  // "Copyright"
inline constexpr int kCopyrightYear = 20003;   // "2026"
inline constexpr int kMakerLabel = 20010;      // "Produced"
// The maker's name, e-mail and web addresses, set when the box opens.
inline constexpr int kMakerName = 20005;
inline constexpr int kMakerEmail = 20006;
inline constexpr int kMakerWeb = 20007;
}  // namespace about_ids

// The message browser (template 120); its field labels are shared_ids.
namespace browser_ids {
inline constexpr int kListedDay = 1019;     // the date of the listed day
inline constexpr int kMessageCount = 1037;  // how many entries are listed
inline constexpr int kMessageList = 1010;   // the entries, five lines each
inline constexpr int kStatusLine = 1021;    // what a refill is doing
inline constexpr int kSenderField = 1014;
inline constexpr int kTimeLabel = 1023;  // "Time"
inline constexpr int kTimeField = 1025;
inline constexpr int kRecipientsField = 1026;
inline constexpr int kMessageField = 1017;
inline constexpr int kDaysBackLabel = 1020;  // "Messages from Today (in Days)"
inline constexpr int kDaysBackField = 1022;  // the days before today listed
inline constexpr int kPreviousDayButton = 1027;  // "+": one day further back
inline constexpr int kNextDayButton = 1029;      // "-": one day nearer
inline constexpr int kBlockedBox = 1039;         // list held messages
inline constexpr int kNormalBox = 1012;          // list the others
inline constexpr int kUpdateButton = 1018;
}  // namespace browser_ids

// The rules editor (template 119); its field labels are shared_ids, its
// Close button shared_ids::kCloseButton.
namespace rules_ids {
inline constexpr int kRulesLabel = 1028;  // "Rules", over the list
inline constexpr int kRuleCount = 1038;   // how many rules there are
inline constexpr int kRuleList = 1026;    // the rules, four lines each
inline constexpr int kSenderField = 1031;
inline constexpr int kRecipientsField = 1035;
inline constexpr int kMessageField = 1032;
inline constexpr int kAddButton = 1033;
inline constexpr int kDeleteButton = 1034;
}  // namespace rules_ids

// The language chooser (template 118); its Ok button is
// shared_ids::kOkButton.
namespace chooser_ids {
inline constexpr int kSelectLanguageLabel = 20011;  // "Select Language:"
// The current language's own name; only a support file gives it a text.
inline constexpr int kLanguageName = 20012;
inline constexpr int kLanguageList = 20001;  // the 143 display names
inline constexpr int kSelectButton = 40009;
}  // namespace chooser_ids

// The message viewer, which has no template.
namespace viewer_ids {
// Its Back button: support files relabel it by this id.
inline constexpr int kBackButton = 1040;
}  // namespace viewer_ids

}  // namespace resources

#endif  // TARNVEX_RESOURCES_CONTROL_IDS_H_
