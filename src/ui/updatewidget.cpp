#include "ui/updatewidget.h"

UpdateWidget::UpdateWidget(QWidget* parent) : QWidget(parent) {}
