#pragma once

#include <QString>

// The text a reader sees in an HTML mail part: what the body shows, a line break at each
// block (paragraphs, line breaks, rows, list items, headings), nothing of scripts, styles
// or the head. Parsed with libxml2's HTML parser, which takes broken markup as browsers do.
QString htmlAsText(const QString &html);
