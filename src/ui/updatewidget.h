#pragma once

#include <QWidget>

/// Progress window of the TCP update channel.
class UpdateWidget : public QWidget
{
    Q_OBJECT
public:
    explicit UpdateWidget(QWidget* parent = nullptr);
};
