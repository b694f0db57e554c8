#pragma once

#include <QString>

// What went wrong with one of the two stored files: which file, and where and what
// (a line, a record or a key). Readers and writers return it instead of throwing, so
// that start-up and shut-down can say so and end cleanly.
struct StoreError {
    enum Operation { Reading, Writing };
    Operation operation = Reading;
    QString fileName;
    QString detail;

    // The text shown to the user: the file, what is wrong, and that the file was left as it was.
    QString message() const;
};
