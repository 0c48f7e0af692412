#pragma once

#include <QByteArray>
#include <QString>
#include <vector>

// Store files damaged as a failing disk damages them, and what SQLite itself can still read of
// them, for the salvage's tests and benchmark.
namespace quillmere::test {

// A file's bytes (empty when it cannot be read), and the file written with `bytes`.
QByteArray fileBytes(const QString &path);
bool writeFileBytes(const QString &path, const QByteArray &bytes);

// Overwrites `count` pages from page `first` (counted from 1) of the store file `bytes` with
// random bytes. The pattern `seed` chooses, page by page, the whole page or a stretch of it.
void damagePages(QByteArray &bytes, qint64 pageBytes, qint64 first, int count, quint32 seed);

// Spoils, in the closed store file at `path`, the whole page that holds each of `rows` (as stored
// in its clip row, not in its search key, which ends in a line break): a page SQLite cannot read.
// False when a row is not found or the file cannot be rewritten.
bool spoilPagesHolding(const QString &path, qint64 pageBytes, const std::vector<QByteArray> &rows);

// The row ids among 1..`lastID` that a lookup by row id in `table` reads from the store at `path`
// (with its log), as SQLite reads a damaged file: with its schema writable, which lets it read a
// file cut short.
std::vector<qint64> rowsReadableByID(const QString &path, const QString &table, qint64 lastID);

// Flips `bit` of the middle cell pointer of page `page` (counted from 1), an interior page of a
// table's tree; false when it is none.
bool flipInteriorCellPointer(QByteArray &bytes, qint64 pageBytes, qint64 page, quint16 bit);

// Points the middle cell of page `page` (counted from 1), an interior page of a table's tree, at the
// child its left neighbour names: the child it named is named by none; false when it is none.
bool nameNeighboursChild(QByteArray &bytes, qint64 pageBytes, qint64 page);

// Zeroes every page of `bytes` that ends a chain of overflow pages (names no next one) and holds
// `marker`; how many.
int zeroOverflowEnding(QByteArray &bytes, qint64 pageBytes, const QByteArray &marker);

// The page where the tree of `table` in the store at `path` starts; 0 when it cannot be read.
qint64 rootPageOf(const QString &path, const QString &table);

// Sets `column` of the rows of `table` that `where` picks to NULL in the store at `path`, though
// the column takes none, as a damaged record reads; false when it cannot.
bool setNullWhereNotAllowed(const QString &path, const QString &table, const QString &column, const QString &where);

// The row ids `table` of the store at `path` holds; empty when it cannot be read.
std::vector<qint64> rowIDsIn(const QString &path, const QString &table);

} // namespace quillmere::test
