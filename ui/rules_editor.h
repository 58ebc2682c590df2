// The rules editor (template 119): the rule table, one list item of four
// lines a rule, Add and Delete by the three field texts, opened pre-filled
// with the browser's last selection. The monitoring worker is paused while
// it is open; closing after a change reloads the rules, refreshes the
// browser and lets the worker check every store again.
#ifndef TARNVEX_UI_RULES_EDITOR_H_
#define TARNVEX_UI_RULES_EDITOR_H_

#include <QDialog>
#include <memory>

#include "hold/monitor.h"
#include "resources/control_ids.h"
#include "ui/template_dialog.h"
#include "ui/window_layer.h"

namespace ui {

inline constexpr float kEditorCertainty = 90.0f;

class RulesEditor : public QDialog {
  Q_OBJECT
 public:
  explicit RulesEditor(QWidget* parent = nullptr);
  ~RulesEditor() override;
  TemplateDialog* page() const { return page_; }

  void FillRuleList();
  void Add();
  void Delete();
  // Ends the editor (Close, Done, cancel).
  void CloseEditor(int command);
  // Whether the last close started the database update (tests).
  static bool LastCloseStartedUpdate();

 protected:
  void reject() override { CloseEditor(resources::shared_ids::kCancel); }

 private:
  void OnCommand(int id);
  void ShowRule(int row);
  TemplateDialog* page_;
  bool closed_ = false;
  bool changed_ = false;  // a rule was added or deleted while it was open
  // The worker stays still from the opening until the editor closes.
  std::unique_ptr<hold::WorkerPause> pause_;
};

// Opens the editor modally over `owner` (menu command 40016).
void RunRulesEditor(QWidget* owner);
// The open editor, or null.
RulesEditor* OpenRulesEditor();

}  // namespace ui

#endif  // TARNVEX_UI_RULES_EDITOR_H_
