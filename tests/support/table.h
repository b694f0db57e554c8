#pragma once

// A data-driven test's table held as one column of tuples: each row is one call with its
// tag and its values, in the order of the types, and the test function takes its row
// apart by name:
//     using Keyed = table::Of<QString, QString>; // typed, keyed
//     void keyed_data() { const Keyed row; row("full-width", "０９", "09"); }
//     void keyed() { const auto [typed, keyed] = Keyed::row(); ... }
// A row tagged with QTest::addRow takes the tuple whole: QTest::addRow(...) << Keyed::Row{...}.
#include <QByteArray>
#include <QTest>

#include <tuple>

namespace table
{

template <typename... Columns> struct Of {
    using Row = std::tuple<Columns...>;
    Of() { QTest::addColumn<Row>("row"); }
    void operator()(const QByteArray &tag, Columns... values) const
    {
        QTest::newRow(tag.constData()) << Row(std::move(values)...);
    }
    // The row the test function runs with.
    static Row row() { return *static_cast<Row *>(QTest::qData("row", qMetaTypeId<Row>())); }
};

} // namespace table
