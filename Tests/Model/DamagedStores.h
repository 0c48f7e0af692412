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
// (with its log), as SQLite reads them.
std::vector<qint64> rowsReadableByID(const QString &path, const QString &table, qint64 lastID);

// The row ids `table` of the store at `path` holds; empty when it cannot be read.
std::vector<qint64> rowIDsIn(const QString &path, const QString &table);

} // namespace quillmere::test
