#include "ui/widget.h"

Widget::Widget(QWidget* parent) : QWidget(parent) {}
