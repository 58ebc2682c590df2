#include "storage/ui_text_source.h"

#include <mutex>

namespace storage {
namespace {

std::mutex& SourceMutex() {
  static std::mutex m;
  return m;
}
UiTextSource& Source() {
  static UiTextSource s;
  return s;
}

std::u16string BuiltIn(int id) {
  switch (id) {
    case kTextUseCard:
      return u"Use CF Card?";
    case kTextQuestion:
      return u"Question";
  }
  return u"";
}

}  // namespace

void SetUiTextSource(UiTextSource source) {
  std::lock_guard<std::mutex> lock(SourceMutex());
  Source() = std::move(source);
}

std::u16string UiText(int id) {
  UiTextSource source;
  {
    std::lock_guard<std::mutex> lock(SourceMutex());
    source = Source();
  }
  return source ? source(id) : BuiltIn(id);
}

}  // namespace storage
