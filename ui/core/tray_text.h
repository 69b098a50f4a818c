// The tray icon's tooltip: traffic totals and compression.
#pragma once

#include <QString>
#include <QtGlobal>

// Decimal units: below 100000 bytes as bytes, then Kb (1000) up to
// 99999999, then Mb (1000000); grouped by the default locale.
QString byte_count_text(qint64 bytes);
QString tray_tooltip(qint64 bytes_in, qint64 bytes_out, float compression_pct);
