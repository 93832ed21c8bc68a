#pragma once

#include <QWidget>

/// Progress dialog of the HTTP update channel.
class Widget : public QWidget
{
    Q_OBJECT
public:
    explicit Widget(QWidget* parent = nullptr);
};
