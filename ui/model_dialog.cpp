#include "ui/model_dialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <exception>
#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

#include "app/run_explanation.h"
#include "core/number_text.h"
#include "io/input_reader.h"
#include "io/model_text.h"
#include "io/output_file.h"
#include "nlayer/medium.h"

namespace nlayer::ui {

namespace {

constexpr int kColumnCount = 4;
const char* const kFields[kColumnCount] = {"musp", "mua", "n", "d"};
// A new layer in an empty table: the one-layer example's.
const char* const kFirstLayer[kColumnCount] = {"1", "0.01", "1.4", "10"};
// Values that pass every check, standing in for a value already reported, so that the checks
// go on to the next problem.
constexpr Layer kSoundLayer{1, 0, 1.4L, 1};

const QColor kProblemColour(255, 200, 200);

QString ProblemStyle() { return QStringLiteral("color: #b00000;"); }

// A cell as a run would read it from the saved file: by the reader's own rules, so that Save
// never writes a value the next run refuses.
RealToken CellToken(const QString& text) { return ReadRealToken(text.trimmed().toStdString()); }

std::optional<long double> CellValue(const QString& text) {
  const RealToken token = CellToken(text);
  if (text.trimmed().isEmpty() || token.refusal != InputReader::Refusal::kNone) return std::nullopt;
  return token.value;
}

QString NotANumber(const QString& what, const QString& text) {
  const QString trimmed = text.trimmed();
  if (trimmed.isEmpty()) return what + QStringLiteral(" is empty");
  switch (CellToken(text).refusal) {
    case InputReader::Refusal::kTooLong:
      return what + QStringLiteral(" has %1 characters; a run reads numbers of at most %2")
                        .arg(trimmed.toStdString().size())
                        .arg(InputReader::kMaxRealToken);
    case InputReader::Refusal::kOutOfRange:
      return what + QStringLiteral(" \"") + trimmed + QStringLiteral("\" is beyond the extended range (about 1.19e4932)");
    default:
      return what + QStringLiteral(" \"") + trimmed +
             QStringLiteral("\" is not a number (\".\" is the decimal point: 1.4 or 14e-1)");
  }
}

long double& Field(Layer& layer, int column) {
  switch (column) {
    case kMuspColumn:
      return layer.musp;
    case kMuaColumn:
      return layer.mua;
    case kIndexColumn:
      return layer.n;
    default:
      return layer.d;
  }
}

int ColumnOf(const std::string& field) {
  for (int c = 0; c < kColumnCount; ++c) {
    if (field == kFields[c]) return c;
  }
  return kThicknessColumn;
}

}  // namespace

std::string ModelValueText(long double value) {
  std::string text = NumberText(value);
  long double back = 0;
  if (ParseRealToken(text, back) && back == value) return text;
  // The reading rules form up to 19 digits exactly; longer texts of an extended value may
  // need every digit it has.
  for (int digits = 1; digits <= 40; ++digits) {
    char buffer[80];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, digits).ptr;
    text.assign(buffer, end);
    if (ParseRealToken(text, back) && back == value) return text;
  }
  return NumberText(value);
}

ModelDialog::ModelDialog(std::filesystem::path path, QWidget* parent) : QDialog(parent), path_(std::move(path)) {
  CreateControls();
  Load();
}

ModelDialog::~ModelDialog() = default;

void ModelDialog::CreateControls() {
  const QString name = QString::fromStdString(path_.filename().string());
  setWindowTitle(QStringLiteral("Edit model: ") + name);
  auto* layout = new QVBoxLayout(this);

  FileNote = new QLabel(this);
  FileNote->setWordWrap(true);
  FileNote->setStyleSheet(ProblemStyle());
  FileNote->hide();
  layout->addWidget(FileNote);
  ReplaceUnreadable = new QCheckBox(QStringLiteral("Replace ") + name + QStringLiteral(" with the model below"), this);
  ReplaceUnreadable->hide();
  layout->addWidget(ReplaceUnreadable);

  layout->addWidget(new QLabel(QStringLiteral("Layers from the top (source and detector on its surface):"), this));
  LayerTable = new QTableWidget(0, kColumnCount, this);
  LayerTable->setHorizontalHeaderLabels({QStringLiteral("μs′ [1/mm]"), QStringLiteral("μa [1/mm]"),
                                         QStringLiteral("n"), QStringLiteral("d [mm]")});
  LayerTable->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
  LayerTable->setSelectionBehavior(QAbstractItemView::SelectRows);
  LayerTable->setSelectionMode(QAbstractItemView::SingleSelection);
  layout->addWidget(LayerTable);

  auto* layer_buttons = new QHBoxLayout;
  AddLayerButton = new QPushButton(QStringLiteral("Add layer"), this);
  RemoveLayerButton = new QPushButton(QStringLiteral("Remove layer"), this);
  layer_buttons->addWidget(AddLayerButton);
  layer_buttons->addWidget(RemoveLayerButton);
  layer_buttons->addStretch();
  layout->addLayout(layer_buttons);

  auto* rho_row = new QHBoxLayout;
  rho_row->addWidget(new QLabel(QStringLiteral("ρ, source-detector distance [mm]:"), this));
  RhoEdit = new QLineEdit(this);
  rho_row->addWidget(RhoEdit);
  layout->addLayout(rho_row);

  ProblemLabel = new QLabel(this);
  ProblemLabel->setWordWrap(true);
  ProblemLabel->setStyleSheet(ProblemStyle());
  layout->addWidget(ProblemLabel);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Save | QDialogButtonBox::Cancel, this);
  SaveButton = buttons->button(QDialogButtonBox::Save);
  layout->addWidget(buttons);
  resize(560, 380);

  connect(AddLayerButton, &QPushButton::clicked, this, &ModelDialog::AddLayer);
  connect(RemoveLayerButton, &QPushButton::clicked, this, &ModelDialog::RemoveLayer);
  connect(SaveButton, &QPushButton::clicked, this, &ModelDialog::Save);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(LayerTable, &QTableWidget::itemChanged, this, [this] { Check(); });
  connect(RhoEdit, &QLineEdit::textChanged, this, [this] { Check(); });
  connect(ReplaceUnreadable, &QCheckBox::toggled, this, [this] { Check(); });
}

void ModelDialog::Load() {
  loading_ = true;
  const QString name = QString::fromStdString(path_.string());
  const ModelReading reading = ReadModelForExplanation(path_);
  QStringList notes;
  if (reading.model) {
    const ModelFile& model = *reading.model;
    const auto& layers = model.medium.layers;
    std::ifstream file(path_, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    if (file) original_ = text.str();
    LayerTable->setRowCount(static_cast<int>(layers.size()));
    for (std::size_t i = 0; i < layers.size(); ++i) row_source_.push_back(i);
    bool missing = false;
    for (std::size_t i = 0; i < layers.size(); ++i) {
      Layer layer = layers[i];
      const LayerLines& lines = model.lines[i];
      const long line_of[kColumnCount] = {lines.musp, lines.mua, lines.n, lines.d};
      for (int c = 0; c < kColumnCount; ++c) {
        // A value the file lacks stays empty rather than showing the 0 a run would read.
        const bool present = line_of[c] != 0;
        missing = missing || !present;
        const QString text = present ? QString::fromStdString(ModelValueText(Field(layer, c))) : QString();
        LayerTable->setItem(static_cast<int>(i), c, new QTableWidgetItem(text));
      }
    }
    if (model.layer_count >= 1 && model.rho_line != 0) {
      RhoEdit->setText(QString::fromStdString(ModelValueText(model.rho_mm)));
    } else if (model.layer_count >= 1) {
      missing = true;
    }
    if (model.layer_count < 1) {
      notes << QString::fromStdString(ValidateModelFile(model, false).value_or(std::string()));
    } else if (static_cast<std::size_t>(model.layer_count) > layers.size()) {
      notes << name + QStringLiteral(" gives a layer count of %1 but describes %2; the table shows those it describes.")
                          .arg(model.layer_count)
                          .arg(layers.size());
    }
    if (missing) {
      notes << name + QStringLiteral(" ends early: the values it lacks are empty here (a run reads them as 0).");
    }
  } else if (reading.error && reading.error->error_number() == ENOENT) {
    notes << name + QStringLiteral(" does not exist yet; Save creates it.");
  } else {
    unreadable_ = true;
    notes << (reading.error ? QString::fromStdString(reading.error->what())
                            : name + QStringLiteral(" is not a regular file"))
          << QStringLiteral("The dialog cannot show this file. Saving replaces it only once you tick the box below.");
    ReplaceUnreadable->show();
  }
  FileNote->setText(notes.join(u'\n'));
  FileNote->setVisible(!notes.isEmpty());
  loading_ = false;
  Check();
}

void ModelDialog::AddLayer() {
  const int rows = LayerTable->rowCount();
  const int current = LayerTable->currentRow();
  const int source = current >= 0 && current < rows ? current : rows - 1;
  QStringList values;
  for (int c = 0; c < kColumnCount; ++c) {
    const QTableWidgetItem* item = source >= 0 ? LayerTable->item(source, c) : nullptr;
    values << (source >= 0 ? (item ? item->text() : QString()) : QString::fromLatin1(kFirstLayer[c]));
  }
  loading_ = true;
  const int row = source + 1;
  LayerTable->insertRow(row);
  row_source_.insert(row_source_.begin() + row, std::nullopt);
  for (int c = 0; c < kColumnCount; ++c) LayerTable->setItem(row, c, new QTableWidgetItem(values[c]));
  loading_ = false;
  LayerTable->setCurrentCell(row, 0);
  Check();
}

void ModelDialog::RemoveLayer() {
  const int rows = LayerTable->rowCount();
  if (rows == 0) return;
  const int current = LayerTable->currentRow();
  const int row = current >= 0 && current < rows ? current : rows - 1;
  LayerTable->removeRow(row);
  row_source_.erase(row_source_.begin() + row);
  Check();
}

void ModelDialog::Check() {
  if (loading_) return;
  const QSignalBlocker quiet(LayerTable);  // marking a cell changes it
  const int rows = LayerTable->rowCount();
  QStringList problems;
  auto mark = [&](int row, int column, const QString& problem) {
    QTableWidgetItem* item = LayerTable->item(row, column);
    if (item == nullptr) LayerTable->setItem(row, column, item = new QTableWidgetItem);
    item->setBackground(kProblemColour);
    item->setToolTip(problem);
    problems << problem;
  };

  Medium medium;
  for (int r = 0; r < rows; ++r) {
    Layer layer = kSoundLayer;
    for (int c = 0; c < kColumnCount; ++c) {
      QTableWidgetItem* item = LayerTable->item(r, c);
      if (item != nullptr) {
        item->setBackground(QBrush());
        item->setToolTip(QString());
      }
      const QString text = item != nullptr ? item->text() : QString();
      if (const std::optional<long double> value = CellValue(text)) {
        Field(layer, c) = *value;
      } else {
        mark(r, c, NotANumber(QStringLiteral("%1 of layer %2").arg(QString::fromLatin1(kFields[c])).arg(r + 1), text));
      }
    }
    medium.layers.push_back(layer);
  }
  // The library names the first problem; each one found is set right in a copy, so that the
  // next check finds the next.
  for (int guard = 0; guard < kColumnCount * rows; ++guard) {
    const std::optional<ModelProblem> problem = medium.Validate();
    if (!problem || problem->layer < 1) break;
    const int row = problem->layer - 1;
    const int column = ColumnOf(problem->field);
    mark(row, column, QString::fromStdString(problem->message));
    Layer sound = kSoundLayer;
    Field(medium.layers[static_cast<std::size_t>(row)], column) = Field(sound, column);
  }
  if (rows == 0) problems << QStringLiteral("the model needs at least one layer: Add layer");

  QString rho_problem;
  if (const std::optional<long double> rho = CellValue(RhoEdit->text())) {
    if (std::optional<ModelProblem> problem = ValidateDistance(*rho)) rho_problem = QString::fromStdString(problem->message);
  } else {
    rho_problem = NotANumber(QStringLiteral("rho"), RhoEdit->text());
  }
  RhoEdit->setStyleSheet(rho_problem.isEmpty() ? QString() : QStringLiteral("background: #ffc8c8;"));
  RhoEdit->setToolTip(rho_problem);
  if (!rho_problem.isEmpty()) problems << rho_problem;

  // Every problem on a line of its own, up to a few, each naming its layer and value.
  constexpr int kListed = 5;
  QStringList listed = problems.mid(0, kListed);
  if (problems.size() > kListed) listed << QStringLiteral("(and %1 more, marked in red)").arg(problems.size() - kListed);
  ProblemLabel->setText(listed.join(u'\n'));
  SaveButton->setEnabled(problems.isEmpty() && (!unreadable_ || ReplaceUnreadable->isChecked()));
}

std::optional<std::string> ModelDialog::ModelText() const {
  EditedModel model;
  const int rows = LayerTable->rowCount();
  for (int r = 0; r < rows; ++r) {
    EditedLayer& layer = model.layers.emplace_back();
    layer.source = static_cast<std::size_t>(r) < row_source_.size() ? row_source_[static_cast<std::size_t>(r)] : std::nullopt;
    for (int c = 0; c < kColumnCount; ++c) {
      const QTableWidgetItem* item = LayerTable->item(r, c);
      const QString text = item != nullptr ? item->text().trimmed() : QString();
      if (!CellValue(text)) return std::nullopt;
      layer.values[static_cast<std::size_t>(c)] = text.toStdString();
    }
  }
  const QString rho = RhoEdit->text().trimmed();
  if (!CellValue(rho)) return std::nullopt;
  model.rho = rho.toStdString();
  return original_ ? RewriteModelText(*original_, model) : FreshModelText(model);
}

bool ModelDialog::Save() {
  if (!SaveButton->isEnabled()) return false;
  const std::optional<std::string> text = ModelText();
  if (!text) return false;
  try {
    ReplaceFile(path_, *text);
  } catch (const std::exception& e) {
    ProblemLabel->setText(QString::fromStdString(path_.string()) + QStringLiteral(" was not changed: ") +
                          QString::fromStdString(e.what()));
    return false;
  }
  accept();
  return true;
}

}  // namespace nlayer::ui
