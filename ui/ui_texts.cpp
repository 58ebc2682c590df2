// The UiTexts: the string table's message texts, loaded at start-up, cut to
// their buffers, and replaced by a language's support file.
#include "ui/ui_texts.h"

#include <map>

#include "base/mutex.h"
#include "resources/resources.h"

namespace ui {
namespace {

base::Mutex g_lock;
std::map<int, std::u16string> g_texts GUARDED_BY(g_lock);

std::u16string Cut(std::u16string text) {
  if (text.size() > kUiTextUnits - 1) text.resize(kUiTextUnits - 1);
  return text;
}

}  // namespace

void LoadUiTexts() {
  {
    base::MutexLock guard(&g_lock);
    for (int id = 113; id <= 130; ++id) {
      if (id == 114 || id == 121) continue;
      g_texts[id] = Cut(resources::LoadString(id));
    }
    for (int id = resources::kFirstExtraUiText;
         id <= resources::kLastExtraUiText; ++id) {
      g_texts[id] = Cut(resources::LoadString(id));
    }
  }
}

std::u16string UiTextOf(int id) {
  base::MutexLock guard(&g_lock);
  auto it = g_texts.find(id);
  if (it != g_texts.end()) return it->second;
  return Cut(resources::LoadString(id));
}

bool SetUiText(int id, const std::u16string& text) {
  base::MutexLock guard(&g_lock);
  auto it = g_texts.find(id);
  if (it == g_texts.end()) return false;
  it->second = Cut(text);
  return true;
}

std::u16string DialogTitle(int title_id) {
  return UiTextOf(title_id) + u" - " + UiTextOf(resources::kIdAppName);
}

}  // namespace ui
