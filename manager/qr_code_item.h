#pragma once
// The QR code as a QML item: paints QRCodeImage::make(text, side) over its whole square,
// unsmoothed; `renderable` is false when no code can be made, and the screen then shows its
// fallback text instead. Lives on the GUI thread like every item.

#include <QImage>
#include <QQuickPaintedItem>

namespace cvl {

class QRCodeItem : public QQuickPaintedItem {
  Q_OBJECT
  Q_PROPERTY(QString text READ text WRITE setText NOTIFY textChanged)
  Q_PROPERTY(bool renderable READ renderable NOTIFY renderableChanged)

 public:
  explicit QRCodeItem(QQuickItem* parent = nullptr);

  QString text() const { return text_; }
  void setText(const QString& text);
  bool renderable() const { return !image_.isNull(); }

  void paint(QPainter* painter) override;

 signals:
  void textChanged();
  void renderableChanged();

 protected:
  void geometryChange(const QRectF& newGeometry, const QRectF& oldGeometry) override;

 private:
  void rebuild();

  QString text_;
  QImage image_;
};

}  // namespace cvl
