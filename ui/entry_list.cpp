// Lists of entries that take several lines each (the browser's messages,
// the rules editor's rules): one item per entry, shown isolated and read
// out as one text.
#include "ui/entry_list.h"

#include <QListWidget>
#include <QStringList>

#include "ui/bidi.h"
#include "ui/window_layer.h"

namespace ui {
namespace {

// Where an item keeps its entry's lines as they were given.
constexpr int kEntryLinesRole = Qt::UserRole + 1;

// "____1. E-MAIL____" as it is read out: "1. E-MAIL".
QString SpokenHeader(const QString& header) {
  qsizetype first = 0, last = header.size();
  while (first < last && header[first] == u'_') ++first;
  while (last > first && header[last - 1] == u'_') --last;
  return header.mid(first, last - first);
}

}  // namespace

void FillEntryList(QListWidget* list, const std::vector<std::u16string>& lines,
                   int lines_per_entry) {
  QSignalBlocker block(list);
  list->clear();
  if (lines_per_entry < 1) return;
  const size_t per_entry = static_cast<size_t>(lines_per_entry);
  for (size_t first = 0; first < lines.size(); first += per_entry) {
    QStringList given, shown, spoken;
    for (size_t k = first; k < first + per_entry && k < lines.size(); ++k) {
      const QString line = ToQt(lines[k]);
      given << line;
      shown << Isolated(line);
      spoken << (k == first ? SpokenHeader(line) : line);
    }
    auto* item = new QListWidgetItem(shown.join(u'\n'));
    item->setData(kEntryLinesRole, given);
    item->setData(Qt::AccessibleTextRole, spoken.join(u'\n'));
    list->addItem(item);
  }
}

std::vector<std::u16string> EntryLines(const QListWidget* list, int row) {
  std::vector<std::u16string> lines;
  const QListWidgetItem* item =
      list != nullptr && row >= 0 ? list->item(row) : nullptr;
  if (item == nullptr) return lines;
  for (const QString& line : item->data(kEntryLinesRole).toStringList())
    lines.push_back(FromQt(line));
  return lines;
}

}  // namespace ui
