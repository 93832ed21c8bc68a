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
    if (!m_widget) {
        return false;
    }
    m_lastError.clear();
    const int version = m_widget->checkUpdateVersion();
    const int list = version == 1 ? m_widget->compareMd5List() : 0;
    const bool update = list == 1;
    if (version == 3 || list == 3) {
        m_lastError = m_widget->detailText();
    }
    if (!update) {
        // Staged lists that no download follows would be installed by the next update of any
        // channel, as if they described it.
        m_widget->removeStagedFiles();
    }
    return update;
}

bool CHttpUpdate::startUpdate()
{
    if (m_widget) {
        m_widget->startDownload();
    }
    return true;
}
