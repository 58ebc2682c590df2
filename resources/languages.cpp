// The menu texts of the 143 interface languages, in catalogue row order:
// Use, Action, Update, Rules, Help (popup), Help (item), Language, About,
// Hide, Exit; and whether each language is written right to left. The table
// is generated from resources/lang/src by scripts/gen-languages.
#include <strings.h>

#include "resources/resources.h"

namespace resources {
namespace {

struct LanguageMenu {
  const char* code;
  bool right_to_left;
  const char16_t* texts[kMenuTextCount];
};

const LanguageMenu kMenus[] = {
#include "resources/languages_table.inc"
};
static_assert(sizeof(kMenus) / sizeof(kMenus[0]) == kLanguageCount);

const LanguageMenu* Find(const char* code) {
  if (code == nullptr) return nullptr;
  for (const LanguageMenu& menu : kMenus) {
    if (strcasecmp(menu.code, code) == 0) return &menu;
  }
  return nullptr;
}

}  // namespace

std::vector<std::u16string> LanguageMenuTexts(const char* code) {
  const LanguageMenu* menu = Find(code);
  if (menu == nullptr) menu = Find("eng");
  return std::vector<std::u16string>(menu->texts, menu->texts + kMenuTextCount);
}

bool LanguageIsRightToLeft(const char* code) {
  const LanguageMenu* menu = Find(code);
  return menu != nullptr && menu->right_to_left;
}

}  // namespace resources
