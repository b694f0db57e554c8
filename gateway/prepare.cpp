#include "gateway/prepare.h"

#include "gateway/textfit.h"

#include "encoding/centerkind.h"
#include "encoding/codetable.h"
#include "encoding/cp932.h"
#include "encoding/textcheck.h"
#include "modem/devicekind.h"
#include "store/dialnumber.h"
#include "store/filestore.h"
#include "store/historyfile.h"
#include "store/locks.h"
#include "store/sendqueue.h"
#include "store/settingsfile.h"

#include <QFile>
#include <QHash>
#include <QSet>

#include <algorithm>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// A refusal names at most this many characters the centre cannot take.
constexpr qsizetype MaxNamedCharacters = 20;

Outcome refused(const QString &message, const QString &recipient = {}, const QString &center = {})
{
    Outcome o{Failure::Refused, message, recipient, center};
    o.refusal = {Refused::Other, {}, message};
    return o;
}

// A refusal an intake words in its own terms.
Outcome refused(Refused why, const QString &subject, const QString &text, const QString &recipient = {},
                const QString &center = {})
{
    Outcome o = refused(text, recipient, center);
    o.refusal = {why, subject, text};
    return o;
}

Outcome withOptimized(Outcome o, bool optimized)
{
    o.refusal.optimized = optimized;
    return o;
}

const MessageCenter *centerNamed(const AppData &data, const QString &name)
{
    for (const MessageCenter &c : data.centers) {
        if (c.name == name)
            return &c;
    }
    return nullptr;
}

QString shown(const QString &ch)
{
    return QStringLiteral("「%1」(U+%2)")
        .arg(ch, QString::number(ch.toUcs4().value(0), 16).rightJustified(4, u'0').toUpper());
}

} // namespace

bool lineMayCall(const QStringList &centers, const QString &center)
{
    return centers.isEmpty() || centers.contains(center);
}

Outcome noLineForCenter(const QString &recipient, const QString &center)
{
    return refused(Refused::NoLineForCenter, center,
                   QStringLiteral("センター「%1」にかけられる回線がありません（queue.ini の Centers）。").arg(center),
                   recipient, center);
}

QStringList unsendableCharacters(const QString &text)
{
    QStringList out;
    QSet<QString> seen;
    for (qsizetype i = 0; i < text.size();) {
        const qsizetype len = text[i].isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
        const QString ch = text.mid(i, len);
        i += len;
        if (ch == QLatin1String("\n") || ch == QLatin1String("\r") || seen.contains(ch))
            continue;
        seen.insert(ch);
        // The digits of the one character, less the mark that opens a free-word run.
        QString digits = messagePieces(ch, 1).join(QString());
        digits.remove(QStringLiteral("*2*2"));
        if (!cp932::canEncode(ch) || digits.isEmpty())
            out << ch;
    }
    return out;
}

QString deviceKindProblem(int modemKind, const DeviceAccess &access)
{
    const DeviceKindRow *row = deviceKind(modemKind);
    if (!row)
        return QStringLiteral("設定の機器の種類 (ModemKind=%1) は、この fumidori-send では使えません。").arg(modemKind);
    if (!row->unattended && !access.onTerminal)
        return QStringLiteral("機器の種類 %1（%2）は、応答を確かめる人がいる端末からだけ使えます。")
            .arg(modemKind)
            .arg(QString::fromUtf8(row->name));
    return {};
}

std::optional<Outcome> folderHeld(const FolderLock &lock)
{
    if (lock.isHeld())
        return std::nullopt;
    return Outcome{Failure::Held, QStringLiteral("データフォルダーを読めません。") + lock.problem() +
                                      QStringLiteral("あとで送り直してください。")};
}

namespace
{

// A folder's settings and history as this process read them last, both files held open:
// while the files at their names are the same (filestore::sameFile), what was read serves
// again, and a post to the listener reads no file. Every writer replaces them whole.
struct KeptFolder {
    int fds[2] = {-1, -1};
    struct stat st[2] = {};
    AppData data;
};
constexpr qsizetype MostKeptFolders = 8; // a test's run makes many; beyond, one makes room
std::mutex keptMutex;
QHash<QString, KeptFolder> keptFolders;

void forget(QHash<QString, KeptFolder>::iterator it)
{
    for (const int fd : it->fds)
        if (fd >= 0)
            ::close(fd);
    keptFolders.erase(it);
}

// The two files' states now (a missing history: all zero).
void statFiles(const QByteArray (&paths)[2], struct stat (&st)[2])
{
    for (int i = 0; i < 2; ++i)
        if (::stat(paths[i].constData(), &st[i]) != 0)
            st[i] = {};
}

// Kept when the files open now are the ones read: the same before the reads and after.
void keep(const QString &folder, const QByteArray (&paths)[2], const struct stat (&st)[2], const AppData &data)
{
    KeptFolder k{{-1, -1}, {st[0], st[1]}, data};
    bool same = true;
    for (int i = 0; i < 2 && same; ++i) {
        if (st[i].st_ino == 0) { // no history before the reads, and none after
            same = i == 1 && ::access(paths[i].constData(), F_OK) != 0;
            continue;
        }
        k.fds[i] = filestore::holdIfSame(paths[i], st[i]);
        same = k.fds[i] >= 0;
    }
    const std::lock_guard guard(keptMutex);
    if (const auto it = keptFolders.find(folder); it != keptFolders.end())
        forget(it);
    if (!same) {
        for (const int fd : k.fds)
            if (fd >= 0)
                ::close(fd);
        return;
    }
    if (keptFolders.size() >= MostKeptFolders)
        forget(keptFolders.begin());
    keptFolders.insert(folder, k);
}

} // namespace

std::optional<Outcome> loadFolder(const QString &folder, AppData &data)
{
    data = AppData{};
    data.folder = folder;
    data.settings = Settings::defaults();
    const FolderLock lock(folder, FolderLock::Shared);
    if (std::optional<Outcome> held = folderHeld(lock))
        return held;
    if (!filestore::exists(folder, QString::fromLatin1(settingsfile::FileName)))
        return refused(Refused::NoSettings, folder,
                       QStringLiteral("%1%2 がありません。").arg(folder, QLatin1String(settingsfile::FileName)));
    data.historyFileName = filestore::existingName(folder, QString::fromLatin1(historyfile::FileName));
    const QByteArray paths[2] = {QFile::encodeName(data.settingsPath()), QFile::encodeName(data.historyPath())};
    struct stat st[2];
    statFiles(paths, st);
    {
        const std::lock_guard guard(keptMutex);
        const auto it = keptFolders.constFind(folder);
        if (it != keptFolders.cend() && st[0].st_ino != 0 && filestore::sameFile(it->st[0], st[0]) &&
            filestore::sameFile(it->st[1], st[1])) {
            data = it->data;
            return std::nullopt;
        }
    }
    if (auto error = LoadSettingsFile(data))
        return refused(error->fileName + QStringLiteral(" を読めません: ") + error->detail);
    if (filestore::exists(folder, data.historyFileName)) {
        if (auto error = LoadHistoryFile(data))
            return refused(error->fileName + QStringLiteral(" を読めません: ") + error->detail);
    }
    keep(folder, paths, st, data);
    return std::nullopt;
}

namespace
{

// The number, the name the history records and the centre of the target.
std::optional<Outcome> resolve(const Target &target, Prepared &p)
{
    const AppData &data = p.data;
    const MessageCenter *center = nullptr;
    if (!target.number.isEmpty()) {
        const dialnumber::Number number = dialnumber::normalized(target.number, dialnumber::Kind::Recipient);
        if (!number.ok())
            return refused(Refused::BadNumber, number.problem, QStringLiteral("番号の") + number.problem);
        p.number = number.digits;
        p.recipientName = number.digits;
    } else {
        const auto recipient = std::find_if(data.recipients.cbegin(), data.recipients.cend(),
                                            [&](const Recipient &r) { return r.name == target.to; });
        if (recipient == data.recipients.cend())
            return refused(Refused::UnknownRecipient, target.to,
                           QStringLiteral("相手先「%1」はアドレス帳にありません。").arg(target.to));
        const dialnumber::Number number = dialnumber::normalized(recipient->number, dialnumber::Kind::Recipient);
        if (!number.ok())
            return refused(QStringLiteral("相手先「%1」の").arg(recipient->name) + number.problem, recipient->name);
        p.number = number.digits;
        p.recipientName = recipient->name;
        if (target.center.isEmpty()) {
            if (recipient->centerIndex < 0 || recipient->centerIndex >= data.centers.size())
                return refused(Refused::NoCenterForRecipient, target.to,
                               QStringLiteral("相手先「%1」にはセンターが結び付いていません。").arg(target.to),
                               p.recipientName);
            center = &data.centers[recipient->centerIndex];
        }
    }
    if (!target.center.isEmpty()) {
        center = centerNamed(data, target.center);
        if (!center)
            return refused(QStringLiteral("センター「%1」はアドレス帳にありません。").arg(target.center),
                           p.recipientName);
    }
    p.center = *center;
    const dialnumber::Number number = dialnumber::normalized(
        center->number,
        deviceRules(data.settings.ModemKind).dialsWithAt ? dialnumber::Kind::AtCenter : dialnumber::Kind::Keyed);
    if (!number.ok())
        return refused(QStringLiteral("センター「%1」の").arg(center->name) + number.problem, p.recipientName,
                       center->name);
    p.center.number = number.digits;
    return std::nullopt;
}

// The message as it will be sent, or why the centre cannot take it.
std::variant<QString, Outcome> checkedText(const QString &input, const Target &target, const Prepared &p, TextFit fit,
                                           const QString &tail)
{
    const QString &who = p.recipientName;
    if (const QString problem = sendqueue::textSizeProblem(input + tail); !problem.isEmpty())
        return refused(problem + u'。', who, p.center.name);
    QString text = fit == TextFit::Fit ? input : input + tail;
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    if (target.optimize)
        text = textcheck::optimize(p.center.kind, text);
    if (fit == TextFit::Fit)
        text = fitToCenter(text, p.center, false, 1, tail).value(0);
    if (text.isEmpty())
        return refused(QStringLiteral("メッセージが空です。"), who, p.center.name);
    // The length first: it is the cheaper check, and the one a long text fails.
    const int count = textcheck::count(text, p.center.kind);
    if (count > p.center.maxChars)
        return withOptimized(refused(Refused::TooLong, p.center.name,
                                     QStringLiteral("メッセージが長すぎます: %1 %2（センター「%3」は %4 まで）。")
                                         .arg(count)
                                         .arg(centerRules(p.center.kind).countsCharacters ? QStringLiteral("文字")
                                                                                          : QStringLiteral("バイト"))
                                         .arg(p.center.name)
                                         .arg(p.center.maxChars),
                                     who, p.center.name),
                             target.optimize);
    const QStringList unsendable = unsendableCharacters(text);
    if (!unsendable.isEmpty()) {
        QStringList names;
        for (const QString &ch : unsendable.first(qMin<qsizetype>(unsendable.size(), MaxNamedCharacters)))
            names << shown(ch);
        if (unsendable.size() > MaxNamedCharacters)
            names << QStringLiteral("ほか %1 文字").arg(unsendable.size() - MaxNamedCharacters);
        return withOptimized(refused(Refused::Unsendable, p.center.name,
                                     QStringLiteral("センター「%1」へは送れない文字があります: %2。")
                                         .arg(p.center.name, names.join(QStringLiteral("、"))),
                                     who, p.center.name),
                             target.optimize);
    }
    return text;
}

} // namespace

std::variant<Prepared, Outcome> prepare(const QString &folder, const Target &target, const QString &input,
                                        const DeviceAccess &access, TextFit fit)
{
    AppData data;
    if (auto refusal = loadFolder(folder, data))
        return *refusal;
    return prepare(std::move(data), target, input, access, fit);
}

std::variant<Prepared, Outcome> prepare(AppData data, const Target &target, const QString &input,
                                        const DeviceAccess &access, TextFit fit, const QString &tail)
{
    Prepared p;
    p.data = std::move(data);
    if (const std::optional<Refused> why = target.problem())
        return refused(*why, {},
                       *why == Refused::NoRecipient
                           ? QStringLiteral("宛先には、アドレス帳の名前か番号の、どちらか一方を指定してください。")
                           : QStringLiteral("アドレス帳にない番号には、センターの名前を添えてください。"));
    if (const auto problem = settingsfile::applyDeviceKeys(p.data.settings, access.deviceKeys))
        return refused(QStringLiteral("回線の設定を使えません: ") + *problem);
    if (auto refusal = resolve(target, p))
        return *refusal;
    if (!lineMayCall(access.centers, p.center.name)) {
        Outcome other = refused(QStringLiteral("この回線はセンター「%1」にかけません。").arg(p.center.name),
                                p.recipientName, p.center.name);
        other.failure = Failure::NotForLine;
        return other;
    }
    if (const QString problem = access.checkKind ? deviceKindProblem(p.data.settings.ModemKind, access) : QString();
        !problem.isEmpty())
        return refused(Refused::DeviceKind, {}, problem, p.recipientName, p.center.name);
    auto text = checkedText(input, target, p, fit, tail);
    if (auto *refusal = std::get_if<Outcome>(&text))
        return *refusal;
    p.text = std::get<QString>(std::move(text));
    return p;
}
