// Looking inside a package from the window: the dialog says what inspect
// --json says, however it was opened; "用作组合包" fills the 组合包 row; the
// files given to the program; cancelling a slow reading.
#include "mainwindow.h"
#include "packagedialog.h"
#include "testsupport.h"
#include "upgradeitemwidget.h"
#include "upgradeitemtypes.h"
#include "visibletext.h"
#include "windowsession.h"

#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPointer>
#include <QTableWidget>
#include <QTest>


namespace {

const QString manifest = QStringLiteral("upgrade_package_config.json");
const QString lookInside = QStringLiteral("查看升级包…");
const Entries valid
    = {{'f', "hmi.zip", "hmi v2"},
       {'s', "控制器.bin", "控制器 v5"},
       {'f', manifest, R"({"hmi":{"name":"hmi.zip"},"dravo":{"name":"控制器.bin"}})"}};

// inspect --json's report in the lines the dialog is read into: what the
// window shows of it is the same words, with names escaped as inspect's text
// prints them.
QStringList inspectedByCli(const QString &path)
{
    QByteArray output;
    const int exitCode = runProgram(CLI_EXECUTABLE, {"inspect", "--json", path}, &output);
    const QJsonObject report = QJsonDocument::fromJson(output).object();
    const bool valid = report.value("valid").toBool();
    if (exitCode != (valid ? 0 : 1))
        return {QStringLiteral("exit code %1: %2").arg(exitCode).arg(QString::fromUtf8(output))};
    QStringList lines {valid ? "verdict: 有效" : "verdict: 无效"};
    for (const QJsonValue &value : report.value("items").toArray()) {
        const QJsonObject item = value.toObject();
        lines << "item: "
                + QStringList {escapedText(typeLabelForKey(item.value("type").toString())),
                               escapedText(item.value("name").toString()),
                               QString::number(qint64(item.value("size").toDouble())),
                               item.value("crc32").toString()}
                      .join(" | ");
    }
    for (const QJsonValue &value : report.value("problems").toArray())
        lines << "problem: " + value["message"].toString() + " [" + value["code"].toString() + "]";
    for (const QJsonValue &value : report.value("notes").toArray())
        lines << "note: " + value["message"].toString();
    return lines;
}

// The dialog as the user reads it, in the same lines; sections left empty
// are hidden.
QStringList shownBy(PackageDialog *dialog)
{
    QStringList lines {"verdict: " + dialog->findChild<QLabel *>("labelVerdict")->text()};
    auto *items = dialog->findChild<QTableWidget *>("tableItems");
    for (int row = 0; row < items->rowCount(); ++row) {
        QStringList cells;
        for (int column = 0; column < items->columnCount(); ++column)
            cells << items->item(row, column)->text();
        lines << "item: " + cells.join(" | ");
    }
    auto *problems = dialog->findChild<QTableWidget *>("tableProblems");
    if (problems->isVisible() != (problems->rowCount() > 0))
        lines << "problems shown: " + QString::number(problems->isVisible());
    for (int row = 0; row < problems->rowCount(); ++row)
        lines << "problem: " + problems->item(row, 0)->text() + " ["
                + problems->item(row, 1)->text() + "]";
    auto *notes = dialog->findChild<QListWidget *>("listNotes");
    if (notes->isVisible() != (notes->count() > 0))
        lines << "notes shown: " + QString::number(notes->isVisible());
    for (int row = 0; row < notes->count(); ++row)
        lines << "note: " + notes->item(row)->text();
    return lines;
}

QPushButton *button(PackageDialog *dialog, const char *name)
{
    return dialog->findChild<QPushButton *>(QLatin1String(name));
}

// Right-clicks a widget; the texts of the menu that pops up, and the action
// with the given text chosen in it (the menu closed otherwise).
QStringList rightClick(QWidget *widget, const QString &choose = QString())
{
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5),
                            widget->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(widget, &event);
    auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
    if (!menu)
        return {};
    QStringList texts;
    QAction *chosen = nullptr;
    for (QAction *action : menu->actions()) {
        texts << action->text().section('\t', 0, 0);
        if (!choose.isEmpty() && action->text() == choose)
            chosen = action;
    }
    menu->close();
    if (chosen)
        chosen->trigger();
    return texts;
}

// A package of one item of size bytes of zeros, deflated: small on disk,
// slow to read (about a second a GiB here).
void writeZerosPackage(const QString &path, qint64 size)
{
    const char *script = R"(
import struct, sys, zlib
path, size = sys.argv[1], int(sys.argv[2])
chunk = bytes(64 << 20)
c = zlib.compressobj(1, zlib.DEFLATED, -15)
# A full flush aligns each chunk's output and forgets the chunk before, so
# every chunk deflates to the same bytes.
block = c.compress(chunk) + c.flush(zlib.Z_FULL_FLUSH)
crc = 0
for _ in range(size // len(chunk)):
    crc = zlib.crc32(chunk, crc)
data = block * (size // len(chunk)) + b'\x03\x00'
entries = [(b'zeros.bin', 8, data, crc, size)]
m = b'{"hmi":{"name":"zeros.bin"}}'
entries.append((b'upgrade_package_config.json', 0, m, zlib.crc32(m), len(m)))
out, central = b'', b''
for name, method, raw, crc, length in entries:
    central += struct.pack('<IHHHHHHIIIHHHHHII', 0x02014b50, 0x031e, 20, 0, method, 0, 0x5821,
                           crc, len(raw), length, len(name), 0, 0, 0, 0, 0o100644 << 16,
                           len(out)) + name
    out += struct.pack('<IHHHHHIIIHH', 0x04034b50, 20, 0, method, 0, 0x5821, crc, len(raw),
                       length, len(name), 0) + name + raw
end = struct.pack('<IHHHHIIH', 0x06054b50, 0, 0, 2, 2, len(central), len(out), 0)
open(path, 'wb').write(out + central + end)
)";
    if (runProgram("python3", {"-c", script, path, QString::number(size)}) != 0)
        qFatal("cannot write %s", qPrintable(path));
}

} // namespace

class LookInsideTest : public QObject
{
    Q_OBJECT

private slots:
    void dialogSaysWhatInspectSays_data();
    void dialogSaysWhatInspectSays();
    void onlyACombinedRowOffersALookInside_data();
    void onlyACombinedRowOffersALookInside();
    void useAsCombinedPackage_data();
    void useAsCombinedPackage();
    void filesGivenToTheProgram_data();
    void filesGivenToTheProgram();
    void cancellingASlowReading_data();
    void cancellingASlowReading();

private:
    QTemporaryDir slowPackageFolder;
};

void LookInsideTest::dialogSaysWhatInspectSays_data()
{
    QTest::addColumn<QString>("opened"); // how the user opened it
    QTest::addColumn<QString>("package"); // a kind of package, at in/pkg.zip unless a path
    QTest::addColumn<bool>("isValid");

    QTest::newRow("valid, by the button") << "button"
                                          << "valid" << true;
    QTest::newRow("valid with a readme, from a 组合包 row's menu") << "row menu"
                                                                   << "readme" << true;
    QTest::newRow("manifest missing, from the path field's menu") << "path field menu"
                                                                  << "no manifest" << false;
    QTest::newRow("near-miss key and an unsafe name, given to the program") << "arguments"
                                                                            << "near miss" << false;
    QTest::newRow("unknown type key: its key is its label") << "button"
                                                            << "hostile unknown_key" << true;
    QTest::newRow("entry corrupt") << "button"
                                   << "hostile bytes_after_deflate_end" << false;
    QTest::newRow("local header disagrees") << "row menu"
                                            << "hostile local_crc_differs" << false;
    QTest::newRow("names that act on a terminal, escaped") << "button"
                                                           << "terminal" << true;
    QTest::newRow("right-to-left override in a name")
        << "button"
        << "hostile name_with_right_to_left_override" << false;
    QTest::newRow("not a ZIP") << "button"
                               << "not a zip" << false;
    QTest::newRow("a FIFO, chosen in the chooser") << "button"
                                                   << "in/fifo.zip" << false;
    QTest::newRow("a folder in a 组合包 row") << "row menu"
                                              << "in/folder.zip" << false;
}

void LookInsideTest::dialogSaysWhatInspectSays()
{
    QFETCH(QString, opened);
    QFETCH(QString, package);
    QFETCH(bool, isValid);
    TestFolder folder;
    QString path = folder.path("in/pkg.zip");
    QVERIFY(QDir().mkpath("in/folder.zip"));
    QVERIFY(makeFifo("in/fifo.zip"));
    if (package == "valid")
        writeZip(path, valid);
    else if (package == "readme")
        writeZip(path, valid + Entries {{'f', "readme.txt", "x"}, {'d', "docs/", ""}});
    else if (package == "no manifest")
        writeZip(path, valid.mid(0, 2));
    else if (package == "near miss")
        writeZip(path,
                 {valid.at(0),
                  {'f', "../evil.sh", "x"},
                  {'f', manifest, R"({"hmi":{"name":"hmi.zip"},"ｈｍｉ":{"name":"hmi.zip"}})"}});
    else if (package == "terminal")
        writeZip(path, valid + Entries {{'f', "\x1b]0;pwned\x07\x1b[2J.txt", "x"}});
    else if (package == "not a zip")
        folder.write("in/pkg.zip", "hmi v2");
    else if (package.startsWith("hostile "))
        writeHostileZip(path, package.section(' ', 1));
    else
        path = folder.path(package);
    const QStringList expected = inspectedByCli(path);

    WindowSession s;
    s.driver.setRows({{0, "in/hmi.zip"}, {combinedPackageTypeIndex, path}});
    QStringList chooserFilters;
    s.watcher.onFileDialog = [&](QFileDialog *dialog) {
        chooserFilters = dialog->nameFilters();
        chooseInFileDialog(dialog, path);
    };
    UpgradeItemWidget *row = s.driver.row(1);
    if (opened == "button") {
        s.driver.lookInsideButton()->click();
        QCOMPARE(s.watcher.fileDialogCaptions, QStringList {"查看升级包"});
        QCOMPARE(chooserFilters, QStringList({"升级包 (*.zip *.kpz)", "所有文件 (*)"}));
    } else if (opened == "row menu") {
        QCOMPARE(rightClick(row->findChild<QComboBox *>("cmbType"), lookInside),
                 QStringList {lookInside});
    } else if (opened == "path field menu") {
        const QStringList texts
            = rightClick(row->findChild<QLineEdit *>("lineEditPath"), lookInside);
        QCOMPARE(texts.mid(texts.size() - 2), QStringList({QString(), lookInside}));
        QVERIFY(texts.size() > 5); // the field's own editing actions above
    } else {
        s.window.openFiles({path});
    }

    QPointer<PackageDialog> dialog;
    QTRY_VERIFY_WITH_TIMEOUT((dialog = s.window.findChild<PackageDialog *>()), 20000);
    QTRY_VERIFY(dialog->isVisible());
    QCOMPARE(s.shows.progressShown, 1);
    QVERIFY(!s.progress()->isVisible());
    QCOMPARE(dialog->windowTitle(), QStringLiteral("查看升级包"));
    QCOMPARE(dialog->parentWidget(), &s.window);
    QVERIFY(dialog->isModal());
    QCOMPARE(dialog->findChild<QLineEdit *>("lineEditPackage")->text(), "「" + path + "」");
    QCOMPARE(shownBy(dialog), expected);
    QCOMPARE(button(dialog, "btnUseAsCombined")->text(), QStringLiteral("用作组合包"));
    QCOMPARE(button(dialog, "btnUseAsCombined")->isEnabled(), isValid);
    QCOMPARE(button(dialog, "btnClose")->text(), QStringLiteral("关闭"));
    QVERIFY(s.watcher.messages.isEmpty());
    // The form waits behind it, unlocked.
    QVERIFY(s.driver.startButton()->isEnabled());

    button(dialog, "btnClose")->click();
    QTRY_VERIFY(!dialog);
    QCOMPARE(s.driver.itemRowCount(), 2);
    QCOMPARE(s.driver.row(0)->filePath(), QStringLiteral("in/hmi.zip"));
    QCOMPARE(s.driver.row(1)->filePath(), path);
}

void LookInsideTest::onlyACombinedRowOffersALookInside_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<bool>("offered");
    for (int type = 0; type <= combinedPackageTypeIndex; ++type)
        QTest::newRow(qPrintable(typeLabelForIndex(type)))
            << type << (type == combinedPackageTypeIndex);
}

// On the row and in its path field's menu, below the field's own actions.
void LookInsideTest::onlyACombinedRowOffersALookInside()
{
    QFETCH(int, type);
    QFETCH(bool, offered);
    TestFolder folder;
    WindowSession s;
    s.driver.setRows({{type, "in/pkg.zip"}});
    UpgradeItemWidget *row = s.driver.row(0);
    QCOMPARE(rightClick(row), offered ? QStringList {lookInside} : QStringList());
    for (const char *part : {"cmbType", "btnSelectFile", "btnRemove"})
        QCOMPARE(rightClick(row->findChild<QWidget *>(part)),
                 offered ? QStringList {lookInside} : QStringList());
    const QStringList fieldMenu = rightClick(row->findChild<QLineEdit *>("lineEditPath"));
    QVERIFY(fieldMenu.size() > 5);
    QCOMPARE(fieldMenu.contains(lookInside), offered);
    QCOMPARE(fieldMenu.indexOf(lookInside), offered ? fieldMenu.size() - 1 : -1);
}

void LookInsideTest::useAsCombinedPackage_data()
{
    using Rows = QList<QPair<int, QString>>;
    QTest::addColumn<Rows>("before");
    QTest::addColumn<QString>("opened"); // "button" or "row menu" (of the last row)
    QTest::addColumn<Rows>("after"); // "@": the package looked inside
    QTest::addColumn<int>("focused"); // the row whose path field has the focus

    const int combined = combinedPackageTypeIndex;
    QTest::newRow("the untouched first row becomes it")
        << Rows {{0, ""}} << "button" << Rows {{combined, "@"}} << 0;
    QTest::newRow("added below the other rows")
        << Rows {{1, "in/ctrl.bin"}} << "button" << Rows {{1, "in/ctrl.bin"}, {combined, "@"}} << 1;
    QTest::newRow("the 组合包 row takes it")
        << Rows {{combined, "in/old.zip"}, {1, "in/ctrl.bin"}} << "button"
        << Rows {{combined, "@"}, {1, "in/ctrl.bin"}} << 0;
    QTest::newRow("the first of two 组合包 rows takes it")
        << Rows {{1, "in/ctrl.bin"}, {combined, ""}, {combined, "in/old.zip"}} << "button"
        << Rows {{1, "in/ctrl.bin"}, {combined, "@"}, {combined, "in/old.zip"}} << 1;
    QTest::newRow("an empty 组合包 row's menu: the chooser, then the row")
        << Rows {{combined, ""}} << "row menu" << Rows {{combined, "@"}} << 0;
}

// "用作组合包" fills the form's 组合包 row, and the run that follows merges the
// package: the new package holds its items and the rows' own.
void LookInsideTest::useAsCombinedPackage()
{
    using Rows = QList<QPair<int, QString>>;
    QFETCH(Rows, before);
    QFETCH(QString, opened);
    QFETCH(Rows, after);
    QFETCH(int, focused);
    TestFolder folder;
    folder.write("in/ctrl.bin", "controller");
    folder.write("in/old.zip", "not even a zip");
    const QString package = folder.path("release/v4.zip");
    QVERIFY(QDir().mkpath("release"));
    writeZip(package,
             {{'f', "hmi.zip", "hmi v4"}, {'f', manifest, R"({"hmi":{"name":"hmi.zip"}})"}});
    QVERIFY(QDir().mkpath("out"));

    WindowSession s;
    s.driver.setRows(before);
    s.watcher.onFileDialog = [&](QFileDialog *dialog) { chooseInFileDialog(dialog, package); };
    if (opened == "button")
        s.driver.lookInsideButton()->click();
    else
        rightClick(s.driver.row(s.driver.itemRowCount() - 1), lookInside);
    QPointer<PackageDialog> dialog;
    QTRY_VERIFY_WITH_TIMEOUT((dialog = s.window.findChild<PackageDialog *>()), 20000);
    QTRY_VERIFY(dialog->isVisible());
    button(dialog, "btnUseAsCombined")->click();
    QTRY_VERIFY(!dialog);

    QStringList rows, expected;
    for (int i = 0; i < s.driver.itemRowCount(); ++i)
        rows << s.driver.row(i)->typeLabel() + " " + s.driver.row(i)->filePath();
    for (const auto &row : after)
        expected << typeLabelForIndex(row.first) + " " + QString(row.second).replace("@", package);
    QCOMPARE(rows, expected);
    QTRY_COMPARE(QApplication::focusWidget(),
                 s.driver.row(focused)->findChild<QLineEdit *>("lineEditPath"));

    // The form as it stands now packs (the old 组合包 row, where one stays,
    // is the second and is refused).
    if (expected.filter(typeLabelForIndex(combinedPackageTypeIndex)).size() > 1)
        return;
    s.start();
    QVERIFY(s.watcher.waitForMessages(1));
    QCOMPARE(s.watcher.titles(), QStringList {"打包成功"});
    QStringList names {"hmi.zip", manifest};
    if (expected.join('\n').contains("ctrl.bin"))
        names.prepend("ctrl.bin");
    QCOMPARE(zipEntryNames("out/pkg.zip"), names);
}

void LookInsideTest::filesGivenToTheProgram_data()
{
    // Relative to the test folder, which holds a.zip, B.KPZ, c.zip,
    // notes.txt, a folder named folder.zip and a FIFO named fifo.zip.
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("shown"); // the package looked inside, or none
    QTest::addColumn<QString>("message"); // its text, then its lines; "@": the folder

    const QString first = "只查看第一个升级包，以下文件未打开：";
    QTest::newRow("one package") << QStringList {"a.zip"} << "a.zip" << QString();
    QTest::newRow("extension in capitals") << QStringList {"B.KPZ"} << "B.KPZ" << QString();
    QTest::newRow("two packages") << QStringList {"a.zip", "B.KPZ"} << "a.zip"
                                  << first + "\n「@/B.KPZ」：一次只查看一个升级包";
    QTest::newRow("what is no package is named, in order")
        << QStringList {"notes.txt", "missing.zip", "folder.zip", "fifo.zip", "a.zip", "c.zip"}
        << "a.zip"
        << first
            + "\n「@/notes.txt」：不是升级包（.zip 或 .kpz 文件）"
              "\n「@/missing.zip」：找不到"
              "\n「@/folder.zip」：是文件夹，不是升级包"
              "\n「@/fifo.zip」：不是普通文件"
              "\n「@/c.zip」：一次只查看一个升级包";
    QTest::newRow("nothing to open") << QStringList {"notes.txt", "--style"} << QString()
                                     << "没有打开任何升级包：\n「@/notes.txt」：不是升级包（.zip "
                                        "或 .kpz 文件）\n「@/--style」：找不到";
    QTest::newRow("a blank at the end")
        << QStringList {"a.zip "} << QString()
        << "没有打开任何升级包：\n「@/a.zip "
           "」：找不到；路径末尾有空格，去掉空格后的路径存在：「@/a.zip」";
    QStringList many {"a.zip"};
    QString counted = first;
    for (int i = 1; i <= 12; ++i) {
        many << QStringLiteral("m%1.zip").arg(i);
        if (i <= 10)
            counted += QStringLiteral("\n「@/m%1.zip」：找不到").arg(i);
    }
    QTest::newRow("ten named, all counted") << many << "a.zip" << counted + "\n……（共12个）";
    QTest::newRow("nothing given") << QStringList() << QString() << QString();
}

// The window as a file manager's "open with" starts it, through the entry
// point main() gives the arguments to.
void LookInsideTest::filesGivenToTheProgram()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, shown);
    QFETCH(QString, message);
    TestFolder folder;
    for (const char *file : {"a.zip", "B.KPZ", "c.zip"})
        writeZip(file, valid);
    folder.write("notes.txt", "notes");
    QVERIFY(QDir().mkdir("folder.zip"));
    QVERIFY(makeFifo("fifo.zip"));

    WindowSession s;
    QList<bool> dialogOpenAtMessage;
    s.watcher.onMessage = [&](QMessageBox *) {
        dialogOpenAtMessage << (s.window.findChild<PackageDialog *>() != nullptr);
    };
    s.window.openFiles(arguments);
    QTest::qWait(300);
    QPointer<PackageDialog> dialog;
    if (!shown.isEmpty())
        QTRY_VERIFY_WITH_TIMEOUT((dialog = s.window.findChild<PackageDialog *>()), 20000);
    QTest::qWait(100);
    QCOMPARE(bool(s.window.findChild<PackageDialog *>()), !shown.isEmpty());
    if (dialog)
        QCOMPARE(dialog->findChild<QLineEdit *>("lineEditPackage")->text(),
                 "「" + folder.path(shown) + "」");

    if (message.isEmpty()) {
        QCOMPARE(s.watcher.messages.size(), 0);
    } else {
        QCOMPARE(s.watcher.messages.size(), 1);
        // The message comes first, the dialog after it.
        QCOMPARE(dialogOpenAtMessage, QList<bool> {false});
        const QString expected = QString(message).replace("@", folder.path());
        QCOMPARE(describe(s.watcher.messages.first(), &s.window),
                 box(QMessageBox::Warning, "未打开的文件", expected.section('\n', 0, 0),
                     expected.section('\n', 1), &s.window));
    }
    // The rows are as they were: a look inside adds none.
    QCOMPARE(s.driver.itemRowCount(), 1);
    QCOMPARE(s.driver.row(0)->filePath(), QString());
}

void LookInsideTest::cancellingASlowReading_data()
{
    QTest::addColumn<QString>("trigger");
    QTest::addColumn<bool>("yes");
    for (const char *trigger : {"button", "Escape", "closing the window"}) {
        QTest::newRow(qPrintable(QString(trigger) + ", 是")) << QString(trigger) << true;
        QTest::newRow(qPrintable(QString(trigger) + ", 否")) << QString(trigger) << false;
    }
}

void LookInsideTest::cancellingASlowReading()
{
    QFETCH(QString, trigger);
    QFETCH(bool, yes);
    const QString package = slowPackageFolder.filePath("zeros.zip");
    const qint64 size = qint64(3) << 30;
    if (!QFileInfo::exists(package))
        writeZerosPackage(package, size);
    TestFolder folder;
    WindowSession s;
    s.watcher.onFileDialog = [&](QFileDialog *dialog) { chooseInFileDialog(dialog, package); };
    s.watcher.questionAnswer = yes ? QMessageBox::Yes : QMessageBox::No;
    QElapsedTimer answered;
    s.watcher.onQuestion = [&](QMessageBox *) { answered.start(); };
    s.driver.lookInsideButton()->click();

    // Once the worker is reading the item.
    QTRY_VERIFY_WITH_TIMEOUT(s.progress()->value() > 0, 20000);
    QCOMPARE(s.progress()->labelText(), QStringLiteral("正在检查升级包\nzeros.zip"));
    QVERIFY(!s.driver.startButton()->isEnabled());
    if (trigger == "button")
        s.progress()->findChild<QPushButton *>()->click();
    else if (trigger == "Escape")
        QTest::keyClick(s.progress(), Qt::Key_Escape);
    else
        s.window.close();
    QVERIFY(s.watcher.waitForMessages(1));
    const QString text = trigger == "closing the window"
        ? "正在检查升级包，确定要取消检查并退出吗？"
        : "确定要取消检查升级包吗？";
    QCOMPARE(describe(s.watcher.messages.first(), &s.window).section(" | ", 1, 2),
             "取消检查 | " + text);
    QCOMPARE(s.watcher.messages.first().buttonTexts, QStringList({"是", "否"}));

    if (yes) {
        QTRY_VERIFY_WITH_TIMEOUT(!s.progress()->isVisible(), 5000);
        QVERIFY2(answered.elapsed() < 500, qPrintable(QString::number(answered.elapsed())));
        QTRY_VERIFY(!s.thread()->isRunning());
        QTest::qWait(300);
        QVERIFY(!s.window.findChild<PackageDialog *>());
        QCOMPARE(s.watcher.messages.size(), 1);
        QCOMPARE(s.window.isVisible(), trigger != "closing the window");
        QVERIFY(s.driver.startButton()->isEnabled());
        return;
    }
    QPointer<PackageDialog> dialog;
    QTRY_VERIFY_WITH_TIMEOUT((dialog = s.window.findChild<PackageDialog *>()), 60000);
    QVERIFY(s.window.isVisible());
    QCOMPARE(shownBy(dialog),
             QStringList({"verdict: 有效",
                          "item: HMI | zeros.bin | " + QString::number(size) + " | "
                              + inspectedByCli(package).value(1).section(" | ", 3)}));
    QCOMPARE(s.watcher.messages.size(), 1);
}

QTEST_MAIN(LookInsideTest)
#include "tst_lookinside.moc"
