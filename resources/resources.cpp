// The program's resources as data: the string table, the menu of every
// language and the dialog templates (their control ids in control_ids.h).
#include "resources/resources.h"

#include <initializer_list>
#include <utility>

#include "resources/control_ids.h"

namespace resources {

std::u16string LoadString(int id) {
  switch (id) {
    case 113:
      return u"Tarnvex";
    case 115:
      return u"Information";
    case 116:
      return u"The required file is not available.";
    case 117:
      return u"Unable to locate help file.";
    case 118:
      return u"Error";
    case 119:
      return u"Failed to start help.";
    case 120:
      return u"Specify a Sender, a Message, or both!";
    case 122:
      return u"Maximum rule limit exceeded!";
    case 123:
      return u"Warning";
    case 124:
      return u"Select a rule first!";
    case 125:
      return u"Failed to delete rule.";
    case 126:
      return u"Updating database";
    case 127:
      return u"Checking";
    case 128:
      return u"Loading";
    case 129:
      return u"Use CF Card?";
    case 130:
      return u"Question";
    case kIdTextBack:
      return u"Back";
    case kIdTextOk:
      return u"OK";
    case kIdTextCancel:
      return u"Cancel";
    case kIdTextYes:
      return u"Yes";
    case kIdTextNo:
      return u"No";
    case kIdTitleRules:
      return u"Rules";
    case kIdTitleLanguage:
      return u"Language";
    case kIdTitleAbout:
      return u"About";
    case kIdTitleHelp:
      return u"Help";
    case kIdTextSupportTooBig:
      return u"The language file is too large to be read.";
    case kIdTextMessageHeld:
      return u"Message held";
    case kIdTextMessagesHeld:
      return u"Messages held: %d";
    case kIdTextExitQuestion:
      return u"Nothing will be sent from this device until Tarnvex runs "
             u"again. Exit?";
    case kIdNamePreviousDay:
      return u"Previous day";
    case kIdNameNextDay:
      return u"Next day";
    case kIdNameListedDay:
      return u"Date";
    case kIdNameMessageList:
      return u"Messages";
    case kIdNameMessageCount:
      return u"Number of messages";
    case kIdNameStatus:
      return u"Status";
    case kIdNameRuleCount:
      return u"Number of rules";
    case kIdNameMessagePage:
      return u"Message page";
    default:
      return u"";
  }
}

int MenuIdOfRow(int row) {
  if (row < 0 || row >= kLanguageCount) return 0;
  return row == kEnglishRow ? kIdMenu : 50001 + 100 * row;
}

std::vector<MenuItem> LoadMenu(int id) {
  const char* code = nullptr;
  for (int row = 0; row < kLanguageCount; ++row) {
    if (MenuIdOfRow(row) == id) code = kLanguageRows[row].code;
  }
  if (code == nullptr) return {};
  std::vector<std::u16string> t = LanguageMenuTexts(code);
  MenuItem separator;
  separator.separator = true;
  return {
      {t[0], 0, {{t[1], 0, {{t[2], kCmdUpdate, {}}}}, {t[3], kCmdRules, {}}}},
      {t[4],
       0,
       {{t[5], kCmdHelp, {}},
        {t[6], kCmdLanguage, {}},
        separator,
        {t[7], kCmdAbout, {}},
        separator,
        {t[8], kCmdHide, {}},
        {t[9], kCmdExit, {}}}},
  };
}

namespace {

using K = ControlKind;

// The names of a template's controls that carry no text of their own.
struct ControlName {
  int control;
  int label;      // the text control that labels it, or 0
  int name_text;  // else the UI text that names it
};

DialogTemplate Named(DialogTemplate t,
                     std::initializer_list<ControlName> names) {
  for (const ControlName& name : names) {
    for (ControlTemplate& c : t.controls) {
      if (c.id != name.control) continue;
      c.label = name.label;
      c.name_text = name.name_text;
    }
  }
  return t;
}

DialogTemplate About() {
  return {
      kIdAboutTemplate,
      143,
      110,
      {
          {about_ids::kIcon, K::kIcon, u"", 3, 5, 20, 20},
          {about_ids::kProductName, K::kText, u"", 30, 4, 79, 10},
          {about_ids::kDescription, K::kText,
           u"Holds back outgoing messages that no rule allows.", 3, 25, 136,
           13},
          {about_ids::kVersionLabel, K::kText, u"Version", 3, 37, 53, 9},
          {about_ids::kVersion, K::kText, u"1.0", 73, 37, 40, 8},
          {about_ids::kCopyrightLabel, K::kText, u"Copyright", 3, 47, 56, 9},
          {about_ids::kCopyrightYear, K::kText, u"2026", 71, 47, 51, 9},
          {about_ids::kMakerLabel, K::kText, u"Produced", 3, 57, 57, 8},
          {about_ids::kMakerName, K::kText, u"", 71, 57, 59, 8},
          {about_ids::kMakerEmail, K::kText, u"", 3, 72, 106, 9},
          {about_ids::kMakerWeb, K::kText, u"", 3, 83, 113, 9},
          {shared_ids::kCloseButton, K::kButton, u"Close", 110, 96, 30, 12},
      }};
}

DialogTemplate Browser() {
  DialogTemplate t{
      kIdBrowserTemplate,
      142,
      108,
      {
          {browser_ids::kListedDay, K::kReadOnlyEdit, u"", 0, 0, 117, 11},
          {browser_ids::kMessageCount, K::kReadOnlyEdit, u"", 118, 0, 22, 11,
           false, true},
          // The list keeps its rectangle; the window layer lets
          // it grow into the space above the detail fields.
          {browser_ids::kMessageList, K::kListBox, u"", 0, 8, 140, 12, true,
           false, true},
          // The status line between the list and the details.
          {browser_ids::kStatusLine, K::kReadOnlyEdit, u"", 0, 20, 140, 0},
          {shared_ids::kSenderLabel, K::kText, u"Sender", 1, 22, 64, 8},
          {browser_ids::kSenderField, K::kReadOnlyEdit, u"", 0, 31, 66, 12,
           true},
          {browser_ids::kTimeLabel, K::kText, u"Time", 69, 23, 67, 8},
          {browser_ids::kTimeField, K::kReadOnlyEdit, u"", 68, 31, 73, 12,
           true},
          {shared_ids::kRecipientsLabel, K::kText, u"Recipients", 1, 39, 64, 8},
          {browser_ids::kRecipientsField, K::kReadOnlyEdit, u"", 0, 47, 66, 12,
           true},
          {shared_ids::kMessageLabel, K::kText, u"Message", 1, 58, 136, 8},
          {browser_ids::kMessageField, K::kMultiLineEdit, u"", 0, 65, 140, 12,
           true},
          {browser_ids::kDaysBackLabel, K::kText,
           u"Messages from Today (in Days)", 0, 84, 104, 10},
          {browser_ids::kDaysBackField, K::kEdit, u"", 107, 84, 17, 12, true},
          {browser_ids::kPreviousDayButton, K::kButton, u"+", 126, 78, 12, 11},
          {browser_ids::kNextDayButton, K::kButton, u"-", 126, 87, 12, 11},
          {browser_ids::kBlockedBox, K::kCheckBox, u"Blocked", 1, 99, 41, 8},
          {browser_ids::kNormalBox, K::kCheckBox, u"Normal", 46, 99, 50, 8},
          {browser_ids::kUpdateButton, K::kButton, u"Update", 99, 97, 39, 11},
      }};
  return Named(
      std::move(t),
      {{browser_ids::kListedDay, 0, kIdNameListedDay},
       {browser_ids::kMessageCount, 0, kIdNameMessageCount},
       {browser_ids::kMessageList, 0, kIdNameMessageList},
       {browser_ids::kStatusLine, 0, kIdNameStatus},
       {browser_ids::kSenderField, shared_ids::kSenderLabel, 0},
       {browser_ids::kTimeField, browser_ids::kTimeLabel, 0},
       {browser_ids::kRecipientsField, shared_ids::kRecipientsLabel, 0},
       {browser_ids::kMessageField, shared_ids::kMessageLabel, 0},
       {browser_ids::kDaysBackField, browser_ids::kDaysBackLabel, 0},
       // "+" goes one day back, "-" one forward.
       {browser_ids::kPreviousDayButton, 0, kIdNamePreviousDay},
       {browser_ids::kNextDayButton, 0, kIdNameNextDay}});
}

DialogTemplate Rules() {
  DialogTemplate t{
      kIdRulesTemplate,
      142,
      108,
      {
          {rules_ids::kRulesLabel, K::kText, u"Rules", 0, 1, 115, 8},
          {rules_ids::kRuleCount, K::kReadOnlyEdit, u"", 117, 0, 23, 11, false,
           true},
          {rules_ids::kRuleList, K::kListBox, u"", 0, 9, 141, 18, true, false,
           true},
          {shared_ids::kSenderLabel, K::kText, u"Sender", 0, 29, 140, 8},
          {rules_ids::kSenderField, K::kEdit, u"", 0, 38, 141, 12, true},
          {shared_ids::kRecipientsLabel, K::kText, u"Recipients", 0, 50, 140,
           8},
          {rules_ids::kRecipientsField, K::kEdit, u"", 0, 59, 141, 12, true},
          {shared_ids::kMessageLabel, K::kText, u"Message", 0, 74, 141, 8},
          {rules_ids::kMessageField, K::kMultiLineInput, u"", 0, 82, 141, 12,
           true},
          {rules_ids::kAddButton, K::kButton, u"Add", 0, 99, 36, 9},
          {rules_ids::kDeleteButton, K::kButton, u"Delete", 56, 99, 36, 9},
          {shared_ids::kCloseButton, K::kButton, u"Close", 109, 99, 33, 9},
      }};
  return Named(std::move(t),
               {{rules_ids::kRuleCount, 0, kIdNameRuleCount},
                {rules_ids::kRuleList, rules_ids::kRulesLabel, 0},
                {rules_ids::kSenderField, shared_ids::kSenderLabel, 0},
                {rules_ids::kRecipientsField, shared_ids::kRecipientsLabel, 0},
                {rules_ids::kMessageField, shared_ids::kMessageLabel, 0}});
}

DialogTemplate Chooser() {
  DialogTemplate t{
      kIdLanguageTemplate,
      142,
      108,
      {
          {chooser_ids::kSelectLanguageLabel, K::kText, u"Select Language:", 5,
           1, 73, 10},
          {chooser_ids::kLanguageName, K::kText, u"", 82, 1, 60, 10},
          {chooser_ids::kLanguageList, K::kListBox, u"", 5, 13, 131, 72, true,
           false, true, true, true},
          {chooser_ids::kSelectButton, K::kButton, u"Select", 6, 91, 43, 12},
          {shared_ids::kOkButton, K::kButton, u"Ok", 93, 91, 43, 12},
      }};
  return Named(std::move(t), {{chooser_ids::kLanguageList,
                               chooser_ids::kSelectLanguageLabel, 0}});
}

}  // namespace

DialogTemplate LoadDialogTemplate(int id) {
  switch (id) {
    case kIdLanguageTemplate:
      return Chooser();
    case kIdRulesTemplate:
      return Rules();
    case kIdAboutTemplate:
      return About();
    case kIdBrowserTemplate:
      return Browser();
    default:
      return {};
  }
}

}  // namespace resources
