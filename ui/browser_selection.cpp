// The browser's selection: the selected entry's details, what the rules
// editor takes from it, and its message page "cmsg.htm" for the viewer.
#include <QListWidget>
#include <cstdio>
#include <vector>

#include "base/mutex.h"
#include "device/codepage.h"
#include "device/image.h"
#include "hold/message_reader.h"
#include "resources/control_ids.h"
#include "storage/locations.h"
#include "storage/records.h"
#include "ui/bidi.h"
#include "ui/browser.h"
#include "ui/browser_state.h"
#include "ui/entry_list.h"

namespace ui {

namespace browser_ids = resources::browser_ids;
using browser_internal::S;

void Browser::ShowEntry(int row) {
  QListWidget* list = ListBox(browser_ids::kMessageList);
  if (list == nullptr || row < 0) return;
  // The entry's five lines: header, sender, recipients, time, message.
  const std::vector<std::u16string> lines = EntryLines(list, row);
  auto line = [&](size_t k, std::u16string* out) {
    if (k >= lines.size()) return false;
    *out = lines[k];
    return true;
  };
  std::u16string text;
  LastSelectionTexts selection;
  {
    base::MutexLock guard(&S().lock);
    selection = S().last_selection;
  }
  // The fields show the texts isolated; the selection keeps them as read.
  if (line(1, &text)) {
    SetControlText(browser_ids::kSenderField, Isolated(text));
    selection.sender = text;
  }
  if (line(2, &text)) {
    SetControlText(browser_ids::kRecipientsField, Isolated(text));
    selection.recipients = text;
  }
  if (line(3, &text)) SetControlText(browser_ids::kTimeField, Isolated(text));
  if (line(4, &text)) {
    SetControlText(browser_ids::kMessageField, Isolated(text));
    selection.message = text;
  }
  size_t n = static_cast<size_t>(row);
  EntryIdentity entry;
  {
    base::MutexLock guard(&S().lock);
    S().last_selection = selection;
    if (n < S().entries.size()) entry = S().entries[n];
    // The held text and the page are this entry's or none: an entry with
    // no message of its own (a summary record, one past the identities, a
    // record gone meanwhile) leaves nothing of the one selected before for
    // the rules editor's Add or the viewer.
    S().has_held_text = false;
    S().held_text.clear();
    S().last_page.clear();
  }
  if (entry.kind == EntryIdentity::Kind::kNone) return;
  std::string page;
  if (entry.kind == EntryIdentity::Kind::kStore) {
    std::string org, subject, message;
    if (!records::LoadForView(entry.store.c_str(), entry.id, &org, &subject,
                              &message)) {
      return;
    }
    {
      base::MutexLock guard(&S().lock);
      S().has_held_text = true;
      S().held_text = subject + " " + message;
    }
    std::string html;
    if (ExtractMimePart(org, kMimeTextHtml, &html)) {
      page = html;
    } else {
      page =
          "<HTML><BODY><H2>" + subject + "</H2>" + message + "</BODY></HTML>";
    }
  } else {
    page = "<HTML><BODY>" + device::WideToAnsi(selection.message) +
           "</BODY></HTML>";
  }
  std::string path;
  if (WriteMessagePage(page, &path)) {
    base::MutexLock guard(&S().lock);
    S().last_page = path;
  }
}

bool WriteMessagePage(const std::string& page, std::string* path) {
  std::string ce_path = storage::InstallFolderNarrow() + "\\cmsg.htm";
  *path = ce_path;
  std::string host = device::HostPathOrEmpty(device::AnsiToWide(ce_path));
  if (host.empty()) return false;
  FILE* file = std::fopen(host.c_str(), "w");
  if (file == nullptr) return false;
  // A UTF-8 page declares so with the byte-order mark, which every HTML
  // reader takes over any charset the message's own HTML names (its text is
  // UTF-8 now, whatever it was sent in).
  static constexpr char kUtf8Mark[] = "\xEF\xBB\xBF";
  bool ok = !device::AnsiIsUtf8() || std::fwrite(kUtf8Mark, 1, 3, file) == 3;
  ok = std::fwrite(page.data(), 1, page.size(), file) == page.size() && ok;
  ok = std::fflush(file) == 0 && ok;
  std::fclose(file);
  return ok;
}

}  // namespace ui
