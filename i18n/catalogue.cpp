// The language catalogue (codes and display names) and the menu bar of the
// current language.
#include "i18n/catalogue.h"

#include <cstring>

#include "text/ascii.h"
#include "ui/main_window.h"
#include "ui/soft_keys.h"

namespace i18n {
namespace {

int32_t g_current_menu_id = resources::kIdMenu;
ui::SoftKeyBar* g_current_menu = nullptr;

}  // namespace

const resources::LanguageRow* LanguageCatalogue() {
  return resources::kLanguageRows;
}

int32_t MenuIdForLanguage(const std::string& code) {
  for (int k = 0; k < resources::kLanguageCount; ++k) {
    if (EqualIgnoringAsciiCase(resources::kLanguageRows[k].code, code))
      return 50000 + 100 * k;
  }
  return 0;
}

bool CodeForDisplayName(const std::string& name, char* code) {
  for (int k = 0; k < resources::kLanguageCount; ++k) {
    if (name == resources::kLanguageRows[k].display_name) {
      std::strncpy(code, resources::kLanguageRows[k].code, kCodeBufferSize - 1);
      code[kCodeBufferSize - 1] = '\0';
      return true;
    }
  }
  return false;
}

std::vector<std::string> DisplayNames() {
  std::vector<std::string> names;
  for (int k = 0; k < resources::kLanguageCount; ++k) {
    names.push_back(resources::kLanguageRows[k].display_name);
  }
  return names;
}

bool SwitchMenuBar(const std::string& code) {
  int32_t id = EqualIgnoringAsciiCase(code, "eng")
                   ? resources::kIdMenu
                   : MenuIdForLanguage(code) + 1;
  if (id == g_current_menu_id) return false;
  std::vector<resources::MenuItem> menu = resources::LoadMenu(id);
  ui::MainWindow* window = ui::TheMainWindow();
  if (menu.empty() || window == nullptr) return false;
  // The bar relabels its keys and popups in place (every language menu has
  // the same structure): the chooser runs from inside one of those popups.
  window->soft_keys()->SetMenu(menu);
  g_current_menu = window->soft_keys();
  g_current_menu_id = id;
  return true;
}

int32_t CurrentMenuId() { return g_current_menu_id; }
ui::SoftKeyBar* CurrentMenu() { return g_current_menu; }

void ResetMenuBarState() {
  g_current_menu_id = resources::kIdMenu;
  g_current_menu = nullptr;
}

}  // namespace i18n
