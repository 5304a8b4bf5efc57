// The printer page's handlers: load a picture, choose the printer kind, and
// send the picture as ESC/POS 24-dot bands through the terminal's hex send.
#include <QImageReader>
#include <QPainter>

#include "app/MainForm.h"
#include "printer/RasterJob.h"

void TMainForm::BitBtn11Click() {
  // The first filter lists every picture format the program reads.
  const QString name = ChooseOpenFile(
      QStringLiteral("打开图片"),
      QStringLiteral("图片 (*.png *.PNG *.jpg *.JPG *.jpeg *.JPEG *.bmp *.BMP *.gif *.GIF);;BMP (*.BMP *.bmp);;ALL (*.*)"),
      DialogFolder(QStringLiteral("picture")));
  if (name.isEmpty()) return;
  RememberDialogFolder(QStringLiteral("picture"), name);
  LoadPrintPicture(name);
}

bool TMainForm::LoadPrintPicture(const QString& fileName) {
  QImageReader reader(fileName);
  QImage img = reader.read();
  if (img.isNull()) {
    // The previous picture stays.
    ShowMessage(QStringLiteral("Vortana"),
                QStringLiteral("无法读取图片文件 %1\r%2").arg(fileName, reader.errorString()));
    return false;
  }
  // Transparent pixels are paper, not ink: lay the picture on white before
  // the alpha channel is dropped (dropping it alone makes them black).
  if (img.hasAlphaChannel()) {
    QImage onWhite(img.size(), QImage::Format_RGB888);
    onWhite.fill(Qt::white);
    QPainter painter(&onWhite);
    painter.drawImage(0, 0, img);
    painter.end();
    img = onWhite;
  }
  EscImage = img.convertToFormat(QImage::Format_RGB888);
  ESC_IMG->setPixmap(QPixmap::fromImage(EscImage).scaled(ESC_IMG->size() - QSize(4, 4), Qt::KeepAspectRatio));
  return true;
}

void TMainForm::ComboBox8Change() {
  ESC_END->setText(ComboBox8->currentIndex() == 0 ? QStringLiteral("1A 0C 00") : QStringLiteral("1B 4A 50"));
}

void TMainForm::Button1Click() {
  if (!PortOpen) {
    ShowMessage(QStringLiteral("Vortana"), QStringLiteral("串口没有打开 ！"));
    return;
  }
  SetCheck(CheckHexTXD, true);
  const RasterPrintJob job = BuildRasterPrintJob(EscImage, ESC_STA->text(), ESC_END->text());
  if (job.refused) {
    AddLog(PictureTooLargeLine());
    return;
  }
  for (const QString& band : job.bandTransmissions) {
    Memo2->setText(band);
    BitBtn_TXClick();
    Sleep(5);
    Memo2->clear();
  }
  Memo1->setPlainText(job.memo1Text);
  Memo1->scrollToEnd();
  OnPageTextShown();
  Memo2->setText(job.endTransmission);
  BitBtn_TXClick();
}
