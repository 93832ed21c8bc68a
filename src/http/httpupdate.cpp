#include "http/httpupdate.h"

#include "ui/widget.h"

CHttpUpdate::CHttpUpdate(QObject* parent) : QObject(parent) {}

void CHttpUpdate::setWidget(Widget* widget)
{
    if (m_widget) {
        disconnect(m_widget, nullptr, this, nullptr);
    }
    m_widget = widget;
    if (m_widget) {
        connect(m_widget, &Widget::sigUpdateResult, this, &CHttpUpdate::sigUpdateResult);
    }
}

bool CHttpUpdate::checkForUpdate()
{
    if (!m_widget || m_widget->checkUpdateVersion() != 1) {
        return false;
    }
    return m_widget->compareMd5List() == 1;
}

bool CHttpUpdate::startUpdate()
{
    if (m_widget) {
        m_widget->startDownload();
    }
    return true;
}
