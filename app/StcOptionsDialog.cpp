#include "app/StcOptionsDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStandardItemModel>
#include <QVBoxLayout>

#include "isp/stc/StcModern.h"

namespace {
// The byte layer's protocol of a family; none for STC89.
std::optional<stc::Protocol> ProtocolOf(StcFamily f) {
  switch (f) {
    case StcFamily::Stc12: return stc::Protocol::Stc12;
    case StcFamily::Stc15: return stc::Protocol::Stc15;
    case StcFamily::Stc8: return stc::Protocol::Stc8;
    case StcFamily::Stc15a: return stc::Protocol::Stc15a;
    case StcFamily::Stc89: break;
  }
  return std::nullopt;
}
}  // namespace

StcFamily StcFamilyOfPart(const QString& partName) {
  for (const stc::PartRow& row : stc::PartTable()) {
    if (partName != QLatin1String(row.name)) continue;
    const std::optional<stc::Protocol> engine = stc::EngineOf(row.variant);
    if (!engine) break;
    switch (*engine) {
      case stc::Protocol::Stc12: return StcFamily::Stc12;
      case stc::Protocol::Stc15: return StcFamily::Stc15;
      case stc::Protocol::Stc8: return StcFamily::Stc8;
      case stc::Protocol::Stc15a: return StcFamily::Stc15a;
    }
  }
  return StcFamily::Stc89;
}

QList<StcOptionsDialog::Choice> StcOptionsDialog::Choices() {
  QList<Choice> out;
  for (const stc::OptionDef& d : stc::OptionDefs()) {
    const QString name = QString::fromLatin1(d.name);
    auto it = std::find_if(out.begin(), out.end(), [&](const Choice& c) { return c.name == name; });
    const QString label = QString::fromUtf8(d.label);
    if (it == out.end()) {
      out.push_back({name, label, {}, {}});
      it = out.end() - 1;
    } else if (!it->label.split(QStringLiteral(" / ")).contains(label)) {
      it->label += QStringLiteral(" / ") + label;  // the families name its pins differently
    }
    // Families may name the same setting with different values (the
    // low-voltage level): the dialog offers each once.
    for (const stc::OptionValue& v : d.values) {
      const QString value = QString::fromLatin1(v.name);
      if (!it->values.contains(value)) {
        it->values << value;
        it->texts << QString::fromUtf8(v.text);
      }
    }
  }
  return out;
}

StcOptionsDialog::StcOptionsDialog(const StcDownloadExtras& current, QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("STC 选项"));
  auto* column = new QVBoxLayout(this);
  column->addWidget(new QLabel(QStringLiteral("只改选定的选项；\"不改\" 的选项保持芯片中的设置。\n"
                                              "芯片当前的设置在连机后显示在信息区。"),
                               this));
  auto* form = form_ = new QFormLayout;
  family_ = new QComboBox(this);
  family_->addItem(QStringLiteral("STC89 / STC12C1052"), static_cast<int>(StcFamily::Stc89));
  family_->addItem(QStringLiteral("STC10 / STC11 / STC12"), static_cast<int>(StcFamily::Stc12));
  family_->addItem(QStringLiteral("STC15F10x / STC15F20x"), static_cast<int>(StcFamily::Stc15a));
  family_->addItem(QStringLiteral("STC15"), static_cast<int>(StcFamily::Stc15));
  family_->addItem(QStringLiteral("STC8"), static_cast<int>(StcFamily::Stc8));
  form->addRow(QStringLiteral("芯片系列"), family_);
  familyNote_ = new QLabel(QStringLiteral("STC89 系列没有可设置的选项，也不能写入 EEPROM"), this);
  form->addRow(familyNote_);
  for (const Choice& c : Choices()) {
    auto* box = new QComboBox(this);
    box->addItem(QStringLiteral("不改"), QString());
    for (int i = 0; i < c.values.size(); ++i) box->addItem(c.texts[i] + QStringLiteral(" (") + c.values[i] + u')', c.values[i]);
    const int at = box->findData(current.options.value(c.name));
    box->setCurrentIndex(at < 0 ? 0 : at);
    form->addRow(c.label + QStringLiteral(" (") + c.name + u')', box);
    boxes_.append({c.name, box});
  }
  column->addLayout(form);

  auto* eepromRow = new QHBoxLayout;
  eeprom_ = new QLineEdit(current.eepromFile, this);
  eeprom_->setPlaceholderText(QStringLiteral("不写 EEPROM"));
  auto* choose = chooseEeprom_ = new QPushButton(QStringLiteral("..."), this);
  connect(choose, &QPushButton::clicked, this, [this] {
    const QString f = QFileDialog::getOpenFileName(this, QStringLiteral("选择 EEPROM 文件"), eeprom_->text(),
                                                   QStringLiteral("hex; bin (*.hex *.bin)"));
    if (!f.isEmpty()) eeprom_->setText(f);
  });
  eepromRow->addWidget(new QLabel(QStringLiteral("EEPROM 文件"), this));
  eepromRow->addWidget(eeprom_, 1);
  eepromRow->addWidget(choose);
  column->addLayout(eepromRow);
  inImage_ = new QCheckBox(QStringLiteral("HEX 文件中超出程序区的数据写入 EEPROM"), this);
  inImage_->setChecked(current.eepromInImage);
  column->addWidget(inImage_);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Reset, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(buttons->button(QDialogButtonBox::Reset), &QPushButton::clicked, this, [this] {
    for (auto& b : boxes_) b.second->setCurrentIndex(0);
    eeprom_->clear();
    inImage_->setChecked(false);
  });
  column->addWidget(buttons);

  // The family first shown keeps the values chosen for it.
  family_->setCurrentIndex(std::max(0, family_->findData(static_cast<int>(current.family))));
  ApplyFamily();
  connect(family_, qOverload<int>(&QComboBox::currentIndexChanged), this, [this] { ApplyFamily(); });
}

void StcOptionsDialog::ApplyFamily() {
  const auto protocol = ProtocolOf(static_cast<StcFamily>(family_->currentData().toInt()));
  for (auto& [name, box] : boxes_) {
    // Values this family defines for the option; none when it lacks it.
    QStringList takes;
    if (protocol)
      for (const stc::OptionDef* d : stc::OptionsOf(*protocol))
        if (name == QLatin1String(d->name))
          for (const stc::OptionValue& v : d->values) takes << QString::fromLatin1(v.name);
    auto* model = qobject_cast<QStandardItemModel*>(box->model());
    for (int i = 1; i < box->count(); ++i)
      if (model) model->item(i)->setEnabled(takes.contains(box->itemData(i).toString()));
    if (!takes.contains(box->currentData().toString())) box->setCurrentIndex(0);
    box->setEnabled(!takes.isEmpty());
    if (QWidget* label = form_->labelForField(box)) label->setEnabled(box->isEnabled());
  }
  // Only the later families have an EEPROM a download can write.
  const bool eeprom = protocol.has_value();
  if (!eeprom) {
    eeprom_->clear();
    inImage_->setChecked(false);
  }
  eeprom_->setEnabled(eeprom);
  chooseEeprom_->setEnabled(eeprom);
  inImage_->setEnabled(eeprom);
  familyNote_->setVisible(!eeprom);
}

QComboBox* StcOptionsDialog::OptionBox(const QString& name) const {
  for (const auto& b : boxes_)
    if (b.first == name) return b.second;
  return nullptr;
}

StcDownloadExtras StcOptionsDialog::Chosen() const {
  StcDownloadExtras e;
  for (const auto& b : boxes_) {
    const QString v = b.second->currentData().toString();
    if (!v.isEmpty() && b.second->isEnabled()) e.options.insert(b.first, v);
  }
  e.eepromFile = eeprom_->isEnabled() ? eeprom_->text().trimmed() : QString();
  e.eepromInImage = inImage_->isEnabled() && inImage_->isChecked();
  e.family = static_cast<StcFamily>(family_->currentData().toInt());
  return e;
}
