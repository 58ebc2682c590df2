// The interface texts that lower layers show (the storage-card question now;
// status texts later). Start-up points this at its UiTexts, whose words
// support files replace; until then the English texts of the string table
// answer.
#ifndef TARNVEX_STORAGE_UI_TEXT_SOURCE_H_
#define TARNVEX_STORAGE_UI_TEXT_SOURCE_H_

#include <functional>
#include <string>

namespace storage {

inline constexpr int kTextUseCard = 129;   // "Use CF Card?"
inline constexpr int kTextQuestion = 130;  // "Question"

using UiTextSource = std::function<std::u16string(int id)>;

// Installs the source (an empty function: back to the built-in English).
void SetUiTextSource(UiTextSource source);
std::u16string UiText(int id);

}  // namespace storage

#endif  // TARNVEX_STORAGE_UI_TEXT_SOURCE_H_
