#pragma once

#include "Quillmere/Archive/StorageStats.h"

#include <QDialog>
#include <QWidget>
#include <functional>
#include <optional>

class QLabel;
class QVBoxLayout;

namespace quillmere {

class ClipStore;
class SettingsButton;

namespace DashboardPalette {
QColor sheetBackground();
QColor cardFill();
QColor cardBorder();
QColor hairline();
QColor primaryText();
QColor secondaryText();
QColor accent();
QColor barTrack();
} // namespace DashboardPalette

QColor dashboardKindColor(ClipKind kind);

// A rounded box in the card colours, with an optional heading above it.
class DashboardCard : public QWidget {
    Q_OBJECT
public:
    DashboardCard(const std::optional<QString> &title, QWidget *content, QWidget *parent = nullptr);
    QWidget *box() const { return m_box; }

private:
    QWidget *m_box;
};

// A capsule split by kind in proportion to bytes, a point of gap between segments.
class KindProportionBar : public QWidget {
    Q_OBJECT
public:
    KindProportionBar(std::vector<KindTotal> kindTotals, qint64 totalBytes, QWidget *parent = nullptr);
    // Each segment's width in a bar `width` wide; the last may run past the end and is clipped.
    static std::vector<double> segmentWidths(const std::vector<KindTotal> &kindTotals, qint64 totalBytes, double width);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    std::vector<KindTotal> m_kindTotals;
    qint64 m_totalBytes;
};

// One Page: name, count and bytes over a bar scaled to the busiest Page.
class PageUsageRow : public QWidget {
    Q_OBJECT
public:
    PageUsageRow(PageTotal page, int maxCount, QWidget *parent = nullptr);
    static double barWidth(int count, int maxCount, double width);

private:
    class Bar;
};

// The "Stats & Storage" sheet. Loads when shown; the sweep merges duplicates and loads again.
class StorageDashboard : public QDialog {
    Q_OBJECT
public:
    static constexpr int sheetSide = 620;

    StorageDashboard(ClipStore &store, std::function<void()> onDone, QWidget *parent = nullptr);

    const std::optional<StorageStats> &stats() const { return m_stats; }
    bool isSweeping() const { return m_sweeping; }
    const std::optional<QString> &sweepMessage() const { return m_sweepMessage; }
    SettingsButton *doneButton() const { return m_done; }
    // Set only while loaded and not sweeping.
    SettingsButton *sweepButton() const { return m_sweepButton; }
    QWidget *column() const { return m_column; }

    void reload();
    void runSweep();

    static QString sweepResultText(int merged);
    static QString duplicateDescription(int candidates);
    static QString clipCountText(int clips);

Q_SIGNALS:
    // A load has come back and the cards are drawn anew.
    void reloaded();

protected:
    void showEvent(QShowEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    void rebuild();
    QWidget *overviewCard(const StorageStats &stats);
    QWidget *kindCard(const StorageStats &stats);
    QWidget *largestCard(const StorageStats &stats);
    QWidget *pageCard(const StorageStats &stats);
    QWidget *maintenanceCard(const StorageStats &stats);

    ClipStore &m_store;
    std::function<void()> m_onDone;
    std::optional<StorageStats> m_stats;
    bool m_sweeping = false;
    std::optional<QString> m_sweepMessage;
    SettingsButton *m_done;
    SettingsButton *m_sweepButton = nullptr;
    QWidget *m_column;
    QVBoxLayout *m_cards;
};

} // namespace quillmere
