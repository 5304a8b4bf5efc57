// The STC options the next downloads set: each option byte field the STC
// families have, left at "不改" (the part keeps what it holds) unless the
// user picks a value, plus the EEPROM image to program with the code.
// Reached from the ISP page's "更多" menu; it moves no control of the page.
#pragma once

#include <QDialog>
#include <QMap>
#include <QString>

class QCheckBox;
class QComboBox;
class QLineEdit;

struct StcDownloadExtras {
  QMap<QString, QString> options;  // name -> value, only those asked for
  QString eepromFile;
  bool eepromInImage = false;
};

class StcOptionsDialog : public QDialog {
  Q_OBJECT
 public:
  StcOptionsDialog(const StcDownloadExtras& current, QWidget* parent = nullptr);
  StcDownloadExtras Chosen() const;

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
  QList<QPair<QString, QComboBox*>> boxes_;
  QLineEdit* eeprom_ = nullptr;
  QCheckBox* inImage_ = nullptr;
};
