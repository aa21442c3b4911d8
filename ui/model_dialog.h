// The model dialog of the chart's "Edit model…": the layers and rho of a model file in a table,
// checked as the library checks a medium, and written back in the file's own format.
#pragma once

#include <QDialog>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

QT_BEGIN_NAMESPACE
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;
QT_END_NAMESPACE

namespace nlayer::ui {

// Columns of ModelDialog::LayerTable.
enum ModelColumn { kMuspColumn = 0, kMuaColumn = 1, kIndexColumn = 2, kThicknessColumn = 3 };

class ModelDialog final : public QDialog {
  Q_OBJECT

 public:
  // Shows the model file at `path`, read by the reading rules of a run. A file that does not
  // exist shows an empty model that Save creates; one that cannot be read (a value that is no
  // number, a folder, ...) shows its error and an empty model, and Save replaces it only once
  // ReplaceUnreadable is ticked.
  explicit ModelDialog(std::filesystem::path path, QWidget* parent = nullptr);
  ~ModelDialog() override;

  QLabel* FileNote;              // what the file holds beyond the table; hidden when nothing
  QCheckBox* ReplaceUnreadable;  // shown for a file that cannot be read
  QTableWidget* LayerTable;      // a row per layer from the top: mus', mua, n, d as typed
  QPushButton* AddLayerButton;   // a copy of the current (or last) layer below it
  QPushButton* RemoveLayerButton;  // the current (or last) layer
  QLineEdit* RhoEdit;
  QLabel* ProblemLabel;  // the first problem, naming its cell; empty when the model is sound
  QPushButton* SaveButton;  // enabled only for a sound model, and for an unreadable file once ticked

  // The file's text for the model as shown, values as typed; nothing while a cell is not a
  // number by the reading rules. A file the dialog read keeps its lines and comments, changed
  // values in place, dropped layers' lines gone, added layers on new lines with a comment naming
  // them (RewriteModelText); otherwise one value per line, each followed by a comment naming it
  // (FreshModelText).
  std::optional<std::string> ModelText() const;

  // Writes ModelText() to the file as a whole (nlayer::ReplaceFile) and closes the dialog with
  // Accepted; on failure leaves the file as it was, says so in ProblemLabel and stays open.
  bool Save();

 private:
  void CreateControls();
  void Load();
  void AddLayer();
  void RemoveLayer();
  void Check();

  std::filesystem::path path_;
  std::optional<std::string> original_;  // the text of a file read as a model
  std::vector<std::optional<std::size_t>> row_source_;  // the file's layer each row shows
  bool unreadable_ = false;
  bool loading_ = false;
};

// The text of `value` that the model file's reading rules read back to exactly `value`: the
// shortest such, with "." whatever the locale.
std::string ModelValueText(long double value);

}  // namespace nlayer::ui
