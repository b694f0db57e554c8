#include "store/storeerror.h"

QString StoreError::message() const
{
    const QString crlf = QStringLiteral("\r\n");
    if (operation == Writing)
        return fileName + QStringLiteral(" を保存できませんでした。") + crlf + detail + crlf +
               QStringLiteral("元のファイルはそのまま残っています。");
    return fileName + QStringLiteral(" が壊れているため、起動できません。") + crlf + detail + crlf +
           QStringLiteral("ファイルは変更していません。内容を直してから、もう一度起動してください。");
}
