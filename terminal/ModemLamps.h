// Four lamps for the modem status lines the far end drives: CTS, DSR, DCD
// and RI. All grey when the port is closed or its device cannot report them.
#pragma once

#include <QLabel>
#include <QWidget>

class ModemLamps : public QWidget {
  Q_OBJECT
 public:
  explicit ModemLamps(QWidget* parent = nullptr);
  // TIOCM_* bits, or -1 for "cannot tell".
  void Show(int bits);
  int Shown() const { return bits_; }
  // "CTS1 DSR0 DCD1 RI0", or "CTS- DSR- DCD- RI-" when greyed.
  QString StateText() const;

 private:
  QLabel* lamp_[4] = {};
  int bits_ = -2;  // nothing shown yet
};
