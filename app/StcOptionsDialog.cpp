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
#include <QVBoxLayout>

#include "isp/stc/StcModern.h"

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
  auto* form = new QFormLayout;
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
  auto* choose = new QPushButton(QStringLiteral("..."), this);
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
}

StcDownloadExtras StcOptionsDialog::Chosen() const {
  StcDownloadExtras e;
  for (const auto& b : boxes_) {
    const QString v = b.second->currentData().toString();
    if (!v.isEmpty()) e.options.insert(b.first, v);
  }
  e.eepromFile = eeprom_->text().trimmed();
  e.eepromInImage = inImage_->isChecked();
  return e;
}
