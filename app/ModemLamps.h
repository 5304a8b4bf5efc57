// Four lamps for the modem status lines the far end drives: CTS, DSR, DCD
// and RI, lit while the line is high. All grey when the port is closed or
// its device cannot report them. Painted rather than built from labels, so
// the lamps shrink their lettering to the room the status bar leaves.
#pragma once

#include <QString>
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

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  int Width(int pixelSize) const;
  int bits_ = -1;
};
