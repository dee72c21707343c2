#include "manager/qr_code_item.h"

#include <QPainter>

#include <algorithm>

#include "manager/qr_code_image.h"

namespace cvl {

QRCodeItem::QRCodeItem(QQuickItem* parent) : QQuickPaintedItem(parent) {
  setAntialiasing(false);
  setFillColor(Qt::white);
  rebuild();
}

void QRCodeItem::setText(const QString& text) {
  if (text_ == text) return;
  text_ = text;
  rebuild();
  emit textChanged();
}

void QRCodeItem::geometryChange(const QRectF& newGeometry, const QRectF& oldGeometry) {
  QQuickPaintedItem::geometryChange(newGeometry, oldGeometry);
  if (newGeometry.size() != oldGeometry.size()) rebuild();
}

void QRCodeItem::rebuild() {
  bool was = renderable();
  // The code is made anew for every text and size; nothing is cached beyond the last image.
  double side = std::min(width(), height());
  image_ = QRCodeImage::make(text_, side > 0 ? side : 1).value_or(QImage());
  if (was != renderable()) emit renderableChanged();
  update();
}

void QRCodeItem::paint(QPainter* painter) {
  if (image_.isNull()) return;
  painter->setRenderHint(QPainter::SmoothPixmapTransform, false);
  double side = std::min(width(), height());
  painter->drawImage(QRectF(0, 0, side, side), image_);
}

}  // namespace cvl
