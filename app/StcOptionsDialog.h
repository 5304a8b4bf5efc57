// The STC options the next downloads set: each option byte field the STC
// families have, left at "不改" (the part keeps what it holds) unless the
// user picks a value, plus the EEPROM image to program with the code.
// Reached from the ISP page's "更多" menu; it moves no control of the page.
// The family chosen at its top greys out every option and value that family
// cannot take (STC89 parts have no option bytes or EEPROM of this kind), so
// nothing is asked that a download would be refused for after connecting.
#pragma once

#include <QDialog>
#include <QMap>
#include <QString>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

// The STC families as the dialog offers them; all but the first have
// option bytes and an EEPROM the download can set.
enum class StcFamily { Stc89, Stc12, Stc15, Stc8, Stc15a };

struct StcDownloadExtras {
  QMap<QString, QString> options;  // name -> value, only those asked for
  QString eepromFile;
  bool eepromInImage = false;
  StcFamily family = StcFamily::Stc89;  // what the options were chosen for
};

// The family of an STC part by the name a session reported ("STC89C52RC",
// "STC15W4K56S4"); STC89 when the name is not a later family's.
StcFamily StcFamilyOfPart(const QString& partName);

class StcOptionsDialog : public QDialog {
  Q_OBJECT
 public:
  // `current.family` is the family shown first.
  StcOptionsDialog(const StcDownloadExtras& current, QWidget* parent = nullptr);
  StcDownloadExtras Chosen() const;
  QComboBox* FamilyBox() const { return family_; }
  // The box of one option ("reset_pin"), for a look at what it offers.
  QComboBox* OptionBox(const QString& name) const;

  // The settings the dialog offers: every option name of the STC families,
  // with its Chinese label and the values it takes.
  struct Choice {
    QString name;
    QString label;
    QStringList values;
    QStringList texts;
  };
  static QList<Choice> Choices();

 private:
  void ApplyFamily();
  QComboBox* family_ = nullptr;
  class QFormLayout* form_ = nullptr;
  QLabel* familyNote_ = nullptr;
  QPushButton* chooseEeprom_ = nullptr;
  QList<QPair<QString, QComboBox*>> boxes_;
  QLineEdit* eeprom_ = nullptr;
  QCheckBox* inImage_ = nullptr;
};
