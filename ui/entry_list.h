// Lists of entries that take several lines each (the browser's messages,
// the rules editor's rules).
#ifndef TARNVEX_UI_ENTRY_LIST_H_
#define TARNVEX_UI_ENTRY_LIST_H_

#include <string>
#include <vector>

class QListWidget;

namespace ui {

// One item per entry, so that a click, the arrow keys and a screen reader
// all move by entry. An entry's first line is its header
// ("____1. E-MAIL____"); the others are texts of a message or a rule and
// are shown isolated (ui/bidi.h). A screen reader reads the entry as one
// text: the header without its rules, then each line.
void FillEntryList(QListWidget* list, const std::vector<std::u16string>& lines,
                   int lines_per_entry);
// The lines of entry `row` as they were given ({} past the list).
std::vector<std::u16string> EntryLines(const QListWidget* list, int row);

}  // namespace ui

#endif  // TARNVEX_UI_ENTRY_LIST_H_
