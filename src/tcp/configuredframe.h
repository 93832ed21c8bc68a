#pragma once

#include <QByteArray>

/// Frames `payload` with the product type from the configuration. It belongs to the wire codec but
/// sits here because the codec in formats/ reads no configuration.
QByteArray encodeFrame(qint32 type, const QByteArray& payload);
