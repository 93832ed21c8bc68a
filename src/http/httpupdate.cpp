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

int CHttpUpdate::checkForUpdate()
{
    m_lastError.clear();
    if (!m_widget) {
        m_lastError = QStringLiteral("HTTP升级窗口不存在");
        return -1;
    }
    int result = m_widget->checkUpdateVersion();
    if (result == 1) {
        result = m_widget->compareMd5List();
    }
    if (result != 0 && result != 1) {
        m_lastError = m_widget->checkError();
        result = -1;
    }
    if (result != 1) {
        // Staged lists that no download follows would be installed by the next update of any
        // channel, as if they described it.
        m_widget->removeStagedFiles();
    }
    return result;
}

bool CHttpUpdate::startUpdate()
{
    if (m_widget) {
        m_widget->startDownload();
    }
    return true;
}
