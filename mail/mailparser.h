#pragma once

#include "store/mailreader.h"

// One mail read with GMime: the headers a page is made of and the first text part, in
// the charsets of mailcharset.h. Takes whatever it is given, however broken.
MailContent parseMail(const QByteArray &raw);
