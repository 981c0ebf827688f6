#include "boundedfile.h"
#include "connection.h"
#include "simprocess.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <csignal>
#include <sys/stat.h>

namespace {

const QString kStamp =
    QStringLiteral("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d");

struct Run
{
    int status = -1;
    QString out;
    QString err;
};

} // namespace

// The host program as a user runs it: it loads the library by name, and says what happened in
// words, as a number and in its exit status.
class HostProgramTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void run_data();
    void run();
    void outputUnwritable_data();
    void outputUnwritable();
    void pollEndsAtInterrupt();
    void serialHeldByAnother();
    void permissionAdvice_data();
    void permissionAdvice();
    void boundedFile_data();
    void boundedFile();

private:
    QStringList filled(QStringList args) const;
    Run host(const QStringList &args, int timeoutMs = 20000, const QString &outputFile = {});

    SimProcess sim;
    QUdpSocket deaf; // bound, never answers
    QTemporaryDir dir;
};

void HostProgramTest::initTestCase()
{
    const auto writeFile = [this](const QString &name, const QByteArray &bytes) {
        QFile f(dir.filePath(name));
        return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
    };
    QVERIFY(sim.start({QStringLiteral("--pty"), QStringLiteral("--pattern")}));
    QVERIFY(deaf.bind(QHostAddress(QHostAddress::LocalHost), 0));
    QVERIFY(dir.isValid());
    // Two tags the pattern fills, and one the driver refuses for good (type 13: result 4).
    QVERIFY(writeFile(QStringLiteral("tags.csv"),
                      "# a comment\nname,address,type,count,interval\n"
                      "temperature,AI_F12,Int16,2,20\npumps,DI1,Bool,3\nbroken,AI1,13\n"));
    QVERIFY(writeFile(QStringLiteral("tags.json"),
                      R"({"tags":[{"name":"label","address":"SI2","type":"String"},)"
                      R"({"name":"level","address":"AI1","type":4,"count":2,"interval":10}]})"));
    // What the values mean: columns named by the header in their own order, a quoted comma.
    QVERIFY(writeFile(QStringLiteral("meaning.csv"),
                      "address,name,type,scale,offset,unit,description\n"
                      "AI1,temp,Int16,0.5,-10,degC,\"Inlet temperature, main\"\n"));
    QVERIFY(writeFile(QStringLiteral("meaning.json"),
                      R"([{"name":"flow","address":"AI1","type":"Int16","count":2,"scale":0.5,)"
                      R"("unit":"l/min"}])"));
    QVERIFY(writeFile(QStringLiteral("zeroscale.csv"), "name,address,type,scale\nt,AI1,Int16,0\n"));
    QVERIFY(writeFile(QStringLiteral("badheader.csv"), "name,address,kind\nt,AI1,Int16\n"));
    QVERIFY(writeFile(QStringLiteral("bad.csv"), "ok,AI1,Int16\nworse,AI1x,Int16\n"));
    QVERIFY(writeFile(QStringLiteral("nul.csv"),
                      QByteArray("a,AI1,Int16\n\0\nb,AI2,Int16\nc,AI3,Int16\n", 38)));
    // A FIFO nobody writes: opening it to read would wait for ever.
    QCOMPARE(
        ::mkfifo(QFile::encodeName(dir.filePath(QStringLiteral("fifo.csv"))).constData(), 0600), 0);
    QFile huge(dir.filePath(QStringLiteral("huge.csv")));
    QVERIFY(huge.open(QIODevice::WriteOnly) && huge.resize(largestInputFile + 1));
    huge.close();
}

void HostProgramTest::run_data()
{
    QTest::addColumn<QStringList>("setup"); // control commands after a reset
    QTest::addColumn<QStringList>("args");  // %udp, %pty, %deaf and %dir are filled in
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("output"); // a pattern the standard output must match
    QTest::addColumn<QString>("errors"); // a pattern the error output must match

    const QStringList none;
    QTest::newRow("--help") << none << QStringList{"--help"} << 0 << "connect CONNECTION"
                            << "^$";
    QTest::newRow("--version") << none << QStringList{"--version"} << 0
                               << "^tarvik-host \\d+\\.\\d+"
                               << "^$";
    QTest::newRow("poll --help") << none << QStringList{"poll", "--help"} << 0
                                 << "(?s)^usage: tarvik-host \\[--library PATH\\] poll .*--changes"
                                 << "^$";
    QTest::newRow("--help diagnose")
        << none << QStringList{"--help", "diagnose"} << 0 << "^usage: .* diagnose CONNECTION"
        << "";
    QTest::newRow("info") << none << QStringList{"info"} << 0
                          << "name     Tarvik\nversion  V1.8.4 202001027\nbuild    v1\\.8\\.4 "
                             "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\nlibrary  \\S+"
                          << "^$";
    QTest::newRow("connect UDP") << none << QStringList{"connect", "%udp"} << 0
                                 << "^connect 127\\.0\\.0\\.1:\\d+: 0 \\(connected\\)\n"
                                    "disconnect: 0 \\(closed\\)\n$"
                                 << "^$";
    QTest::newRow("connect serial, 1.5 stop bits as 3")
        << none << QStringList{"connect", "%pty,9600,8,1.5"} << 0
        << "^connect /dev/\\S+,9600,8,3: 0 \\(connected\\)\n"
        << "^$";

    // Connect failures, with the reason.
    QTest::newRow("connect, nobody answers")
        << none << QStringList{"connect", "%deaf"} << 1
        << ": -2 \\(no answer to the link check\\)\n$"
        << "nothing answered the link check at 127\\.0\\.0\\.1:\\d+.*firewall";
    QTest::newRow("connect, no such device")
        << none << QStringList{"connect", "/dev/nonexistent-tty,9600,8,1"} << 1 << ": -1 \\(refused"
        << "/dev/nonexistent-tty does not exist";
    QTest::newRow("connect, not a device")
        << none << QStringList{"connect", "%dir,9600,8,1"} << 1 << ": -1 \\(refused"
        << "is not a character device";
    // Read, poll and write report a failed connect the same way, on the error stream.
    const QString noAnswer = QStringLiteral("^connect 127\\.0\\.0\\.1:\\d+: -2 \\(no answer to the "
                                            "link check\\)\nnothing answered the link check at");
    QTest::newRow("read, nobody answers")
        << none << QStringList{"read", "AI1", "--type", "Int16", "--connect", "%deaf"} << 1 << "^$"
        << noAnswer;
    QTest::newRow("poll, nobody answers")
        << none << QStringList{"poll", "AI1", "--type", "Int16", "--connect", "%deaf"} << 1 << "^$"
        << noAnswer;
    QTest::newRow("write, nobody answers")
        << none << QStringList{"write", "AI1", "--type", "Int16", "--connect", "%deaf", "1"} << 1
        << "^$" << noAnswer;
    QTest::newRow("--trace: link check and protocol lines time-stamped")
        << none << QStringList{"read", "AI1", "--type", "Int16", "--connect", "%udp", "--trace"}
        << 0 << "result   0"
        << "^" + kStamp + " tarvik-host link check .*\n" + kStamp + " .*connected.*\n" + kStamp +
               " \"lib\\[Tarvik\\]";

    // Every digit, NaN and the infinities apart, Int8 signed, texts escaped.
    QTest::newRow("Int64 2^56 in JSON")
        << QStringList{"poke LW 0 0100000000000000"}
        << QStringList{"--json", "read", "LW1", "--type", "Int64", "--connect", "%udp"} << 0
        << "\"values\":\\[72057594037927936\\]"
        << "^$";
    QTest::newRow("UInt64 2^64-1 in JSON")
        << QStringList{"poke LW 0 ffffffffffffffff"}
        << QStringList{"read", "LW1", "--type", "UInt64", "--connect", "%udp", "--json"} << 0
        << "\"values\":\\[18446744073709551615\\]"
        << "^$";
    QTest::newRow("Int8 signed") << QStringList{"poke AI 0 80ff7f01"}
                                 << QStringList{"read",    "AI1", "--type",    "Int8",
                                                "--count", "4",   "--connect", "%udp"}
                                 << 0
                                 << "\\[0\\]  -128\n  \\[1\\]  -1\n  \\[2\\]  127\n  \\[3\\]  1\n"
                                 << "^$";
    QTest::newRow("Float NaN, Infinity, -Infinity, 0.1 in JSON")
        << QStringList{"poke AO 0 0000c07f0000807f000080ffcdcccc3d"}
        << QStringList{"read", "AO1",       "--type", "Float", "--count",
                       "4",    "--connect", "%udp",   "--json"}
        << 0 << "\"values\":\\[\"NaN\",\"Infinity\",\"-Infinity\",0\\.1\\]"
        << "^$";
    QTest::newRow("text with control characters")
        << QStringList{"poke SI 0 05610a621b7f"}
        << QStringList{"read", "SI1", "--type", "String", "--connect", "%udp"} << 0
        << "\\[0\\]  a\\\\nb\\\\x1b\\\\x7f\n"
        << "^$";
    QTest::newRow("type 13 as a number")
        << none << QStringList{"read", "AI1", "--type", "13", "--connect", "%udp", "--json"} << 1
        << "\"result\":4,.*\"type\":13,"
        << "^$";

    // Tag lists: one link, records with time stamps, refusals stopped.
    QTest::newRow("poll --tags CSV")
        << none << QStringList{"poll",    "--tags", "%dir/tags.csv", "--connect", "%udp",
                               "--times", "2",      "--interval",    "10"}
        << 1
        << "(?s)^" + kStamp + " temperature AI_F12 0 \\(success\\) [\\d.]+ ms 6928 12582\n" +
               kStamp + " pumps DI1 0 \\(success\\) [\\d.]+ ms false false true\n" + kStamp +
               " broken AI1 4 \\(bad count.*\ntemperature: reads 2, answers 2.*\npumps: reads 2.*\n"
               "broken: reads 1, answers 0, failures 1 .*stopped.*\npolls 5, answers 4, failures "
               "1\n$"
        << "^broken: stopped: the driver refuses this tag every time with result 4";
    QTest::newRow("read --tags JSON as CSV")
        << none << QStringList{"read", "--tags", "%dir/tags.json", "--connect", "%udp", "--csv"}
        << 0
        << "^time,tag,address,type,result,outcome,latency_ms,values\n" + kStamp +
               ",label,SI2,String,0,success,[\\d.]+,SI2\n" + kStamp +
               ",level,AI1,Int16,0,success,[\\d.]+,4101;9755\n$"
        << "^$";
    QTest::newRow("read --tags with scale, offset and unit")
        << none << QStringList{"read", "--tags", "%dir/meaning.csv", "--connect", "%udp"} << 0
        << "^address  AI1\n(.*\n)*  \\[0\\]  4101\nmeaning  2040.5 degC\n$"
        << "^$";
    QTest::newRow("poll --tags with scale, offset and unit")
        << none
        << QStringList{"poll", "--tags", "%dir/meaning.csv", "--connect", "%udp", "--times", "1"}
        << 0 << "^" + kStamp + " temp AI1 0 \\(success\\) [\\d.]+ ms 4101 = 2040.5 degC\n"
        << "^$";
    QTest::newRow("read --tags --json, scaled")
        << none << QStringList{"read", "--tags", "%dir/meaning.json", "--connect", "%udp", "--json"}
        << 0 << "\"values\":\\[4101,9755\\],\"scaled\":\\[2050.5,4877.5\\],\"unit\":\"l/min\"\\}\n$"
        << "^$";
    QTest::newRow("poll --json --changes")
        << none << QStringList{"poll",    "AI1", "--type",     "Int16", "--connect", "%udp",
                               "--times", "3",   "--interval", "0",     "--changes", "--json"}
        << 0
        << "^\\{\"tag\":\"AI1\",\"latency_ms\":[\\d.]+,\"address\":\"AI1\".*\"time\":\"" + kStamp +
               "\".*\n\\{\"tag\":\"AI1\",\"reads\":3,\"answers\":3,\"failures\":0,.*\n"
               "\\{\"polls\":3,\"answers\":3,\"failures\":0\\}\n$"
        << "^$";
    QTest::newRow("poll, one tag: its name once")
        << none
        << QStringList{"poll", "AI1", "--type", "Int16", "--connect", "%udp", "--times", "1"} << 0
        << "^" + kStamp + " AI1 0 \\(success\\) [\\d.]+ ms 4101\n"
        << "^$";
    // Latencies cover answered reads only; failures are counted apart. Each library warning
    // keeps its line and gets the English beneath it, with the port a serial line names as ":0".
    QTest::newRow("poll, every answer spoiled")
        << QStringList{"faults --wrong-seq"}
        << QStringList{"poll",    "AI1", "--type",     "Int16", "--connect", "%udp",
                       "--times", "2",   "--interval", "0",     "--json"}
        << 1
        << "\n\\{\"tag\":\"AI1\",\"reads\":2,\"answers\":0,\"failures\":2,"
           "\"failures_by_result\":\\{\"8\":2\\}\\}\n"
        << "序号错误 127\\.0\\.0\\.1:\\d+ .*\n    in English: the sequence number returned is "
           "wrong[^\n]*8\n";
    QTest::newRow("serial warning names the port")
        << QStringList{"faults --wrong-seq"}
        << QStringList{"read", "AI1", "--type", "Int16", "--connect", "%pty,9600,8,1"} << 1
        << "result   8"
        << "序号错误 :0 .*\n    in English: .* \\(serial port /dev/\\S+\\)\n";
    QTest::newRow("poll --table") << none
                                  << QStringList{"--table",   "poll", "--tags",  "%dir/tags.json",
                                                 "--connect", "%udp", "--times", "1"}
                                  << 0
                                  << "TAG +VALUE +OUTCOME +AGE +ANS/FAIL.*\nlabel +\"SI2\" "
                                     "+ok .*\nlevel +4101 9755 +ok"
                                  << "^$";

    // Usage errors: exit 2, and nothing reaches the controller.
    const QStringList read = {"read", "AI1", "--type", "Int16", "--connect"};
    const QStringList errors = {
        "AO1.5 .*as AO15",
        "AI1AI2 .*as AI12",
        "AI 1 .*as AI1",
        "AI1x .*as AI1",
        "unknown type Int9",
        "count takes",
        "UDP port takes 1 to 65535",
        "UDP port takes",
        "data bits take 5",
        "stop bits take 1, 1.5 or 2",
        "the driver sets the baud rates 1200, 2400, 4800, 9600, 19200, 38400, 57600 or 115200, "
        "not 'fast'",
        "baud rates .*, not '-9600'",
        "baud rates .*, not '9601'",
        "--type needs a value",
        "unknown option --frob",
        "--library needs a value",
        "neither ADDRESS:PORT",
        "bad.csv: tag worse: AI1x",
        "--interval takes",
        "read: needs --connect CONNECTION",
        "--tags takes the place of ADDRESS, --type and --count",
        "write: takes ADDRESS, --type TYPE and at least one VALUE",
        "write: needs --connect CONNECTION",
        "nul.csv: line 2: holds a NUL byte",
        "cannot read the tag list \\S+/fifo.csv: not a regular file \\(a FIFO, a device or a "
        "socket\\)",
        "cannot read the tag list /dev/zero: not a regular file",
        "cannot read the tag list \\S+: a directory, not a file",
        "huge.csv: larger than 16 MiB, the most read from one file",
        "zeroscale.csv: line 2: the scale takes a number other than 0, not '0'",
        "badheader.csv: line 1: the header names an unknown column kind; columns are name,",
    };
    const QList<QStringList> usage = {
        {"read", "AO1.5", "--type", "Int16", "--connect", "%udp"},
        {"read", "AI1AI2", "--type", "Int16", "--connect", "%udp"},
        {"poll", "AI 1", "--type", "Int16", "--connect", "%udp"},
        {"write", "AI1x", "--type", "Int16", "--connect", "%udp", "1"},
        read + QStringList{"%udp", "--count", "1", "--type", "Int9"},
        read + QStringList{"%udp", "--count", "0"},
        read + QStringList{"127.0.0.1:0"},
        {"connect", "127.0.0.1:65536"},
        read + QStringList{"%pty,9600,9,1"},
        {"diagnose", "%pty,9600,8,1.25"},
        read + QStringList{"%pty,fast,8,1"},
        read + QStringList{"%pty,-9600,8,1"},
        {"connect", "%pty,9601,8,1"},
        {"read", "AI1", "--type", "--connect", "%udp"},
        {"--frob", "read", "AI1", "--type", "Int16", "--connect", "%udp"},
        {"--library"},
        {"connect", "somewhere"},
        {"poll", "--tags", "%dir/bad.csv", "--connect", "%udp"},
        {"poll", "AI1", "--type", "Int16", "--connect", "%udp", "--interval", "-1"},
        {"read", "AI1", "--type", "Int16"},
        {"poll", "--tags", "%dir/tags.csv", "--type", "Int16", "--connect", "%udp"},
        {"write", "AI1", "--type", "Int16", "--connect", "%udp"},
        {"write", "AI1", "--type", "Int16", "1"},
        {"read", "--tags", "%dir/nul.csv", "--connect", "%udp"},
        {"poll", "--tags", "%dir/fifo.csv", "--connect", "%udp"},
        {"poll", "--tags", "/dev/zero", "--connect", "%udp"},
        {"read", "--tags", "%dir", "--connect", "%udp"},
        {"read", "--tags", "%dir/huge.csv", "--connect", "%udp"},
        {"read", "--tags", "%dir/zeroscale.csv", "--connect", "%udp"},
        {"read", "--tags", "%dir/badheader.csv", "--connect", "%udp"},
    };
    for (int i = 0; i < usage.size(); ++i)
        QTest::newRow(qPrintable("usage: " + usage[i].join(' ')))
            << none << usage[i] << 2 << "^$" << errors[i];
    QTest::newRow("unknown command") << none << QStringList{"fly"} << 2 << "^$"
                                     << "unknown command";
    QTest::newRow("no command") << none << QStringList{} << 2 << "^$"
                                << "no command";
    QTest::newRow("no such library")
        << none << QStringList{"--library", "/nonexistent.so", "info"} << 3 << "^$"
        << "cannot load the driver";

    // A diagnosis, healthy and with every answer spoiled.
    QTest::newRow("diagnose")
        << none << QStringList{"diagnose", "%udp", "--reads", "5", "--interval", "0"} << 0
        << "(?s)reads       5 of AI1 as Int16: 5 answered, 0 failed\nlatency ms  min [\\d.]+, "
           "median "
           "[\\d.]+, p90 [\\d.]+, p95 [\\d.]+, p99 [\\d.]+, max [\\d.]+\n.*verdict     Every read "
           "was answered"
        << "^$";
    QTest::newRow("diagnose, wrong sequence bytes")
        << QStringList{"faults --wrong-seq"}
        << QStringList{"diagnose", "%udp", "--reads", "2", "--interval", "0", "--json"} << 1
        << "\"reads\":2,\"answers\":0,\"failures_by_result\":\\{\"8\":2\\},\"latency_ms\":\\{\\},"
           "\"warnings\":\\{"
           "\"answers with wrong sequence bytes\":2\\},\"verdict\":\"The device answered the link "
           "check but none of 2 reads"
        << "序号错误";
}

QStringList HostProgramTest::filled(QStringList args) const
{
    for (QString &a : args) {
        a.replace(QLatin1String("%udp"), sim.udpConnectionString());
        a.replace(QLatin1String("%pty"), sim.ptyPath());
        a.replace(QLatin1String("%deaf"), QStringLiteral("127.0.0.1:%1").arg(deaf.localPort()));
        a.replace(QLatin1String("%dir"), dir.path());
    }
    return args;
}

Run HostProgramTest::host(const QStringList &args, int timeoutMs, const QString &outputFile)
{
    QProcess p;
    if (!outputFile.isEmpty())
        p.setStandardOutputFile(outputFile);
    p.start(QStringLiteral(TARVIK_HOST_PATH), filled(args));
    Run r;
    if (!p.waitForFinished(timeoutMs) || p.exitStatus() != QProcess::NormalExit)
        return r;
    r.status = p.exitCode();
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

void HostProgramTest::run()
{
    QFETCH(QStringList, setup);
    QFETCH(QStringList, args);
    QFETCH(int, status);
    QFETCH(QString, output);
    QFETCH(QString, errors);

    QCOMPARE(sim.control(QStringLiteral("faults")), QStringLiteral("ok"));
    QCOMPARE(sim.control(QStringLiteral("reset")), QStringLiteral("ok"));
    for (const QString &command : setup)
        QCOMPARE(sim.control(command), QStringLiteral("ok"));
    const Run r = host(args);
    QVERIFY2(r.status == status, qPrintable(QString::number(r.status) + "\n" + r.out + r.err));
    QVERIFY2(QRegularExpression(output).match(r.out).hasMatch(), qPrintable(r.out));
    QVERIFY2(QRegularExpression(errors).match(r.err).hasMatch(), qPrintable(r.err));
    if (status == 2)
        QCOMPARE(sim.requestsSeen(), 0);
}

// Output that cannot be written is a failure of every command, said on the error stream.
void HostProgramTest::outputUnwritable_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("--help") << QStringList{"--help"};
    QTest::newRow("info") << QStringList{"info"};
    QTest::newRow("read") << QStringList{"read", "AI1", "--type", "Int16", "--connect", "%udp"};
    QTest::newRow("poll --json") << QStringList{"poll",      "AI1",     "--type", "Int16",
                                                "--connect", "%udp",    "--json", "--interval",
                                                "0",         "--times", "1000000"};
    QTest::newRow("read --tags --csv")
        << QStringList{"read", "--tags", "%dir/tags.json", "--connect", "%udp", "--csv"};
    QTest::newRow("diagnose") << QStringList{"diagnose", "%udp", "--reads", "2", "--interval", "0"};
    QTest::newRow("write") << QStringList{"write",     "AO1",  "--type", "Int16",
                                          "--connect", "%udp", "5"};
}

void HostProgramTest::outputUnwritable()
{
    QFETCH(QStringList, args);
    if (!QFile::exists(QStringLiteral("/dev/full")))
        QSKIP("no /dev/full here");
    QCOMPARE(sim.control(QStringLiteral("faults")), QStringLiteral("ok"));
    const Run r = host(args, 20000, QStringLiteral("/dev/full"));
    QVERIFY2(r.status == 1, qPrintable(QString::number(r.status) + "\n" + r.err));
    QVERIFY2(r.err.contains(QLatin1String("tarvik-host: cannot write the output: ")),
             qPrintable(r.err));
}

// Ctrl-C ends a poll without end after the read under way, with the counts of every tag.
void HostProgramTest::pollEndsAtInterrupt()
{
    QCOMPARE(sim.control(QStringLiteral("faults")), QStringLiteral("ok"));
    QProcess p;
    p.start(QStringLiteral(TARVIK_HOST_PATH),
            filled({"poll", "--tags", "%dir/tags.json", "--connect", "%udp", "--interval", "20"}));
    QByteArray seen;
    for (int i = 0; i < 100 && !(seen.contains(" label ") && seen.contains(" level ")); ++i) {
        p.waitForReadyRead(100);
        seen += p.readAllStandardOutput();
    }
    ::kill(pid_t(p.processId()), SIGINT);
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 0);
    const QString out = QString::fromUtf8(seen + p.readAllStandardOutput());
    QVERIFY2(QRegularExpression("\nlabel: reads [1-9]\\d*, answers [1-9].*\nlevel: reads [1-9]\\d*"
                                ".*\npolls \\d+, answers \\d+, failures 0\n$")
                 .match(out)
                 .hasMatch(),
             qPrintable(out));
}

// A serial port another program holds: the host says so and names the holder.
void HostProgramTest::serialHeldByAnother()
{
    QSerialPort holder(sim.ptyPath());
    QVERIFY(holder.open(QIODevice::ReadWrite));
    const Run r = host({"connect", "%pty,9600,8,1"});
    QCOMPARE(r.status, 1);
    // The holder is named with its process id (its name is the emulator's under emulation).
    const QString pid = QStringLiteral("(%1)").arg(QCoreApplication::applicationPid());
    QVERIFY2(r.err.contains(QLatin1String("is held by another process")) && r.err.contains(pid),
             qPrintable(r.err));
}

// Advice for a device this user may not open follows its mode bits: its group only where the
// group may read and write it.
void HostProgramTest::permissionAdvice_data()
{
    QTest::addColumn<uint>("mode");
    QTest::addColumn<QString>("advice");
    QTest::newRow("0660 root:dialout") << 020660u
                                       << "mode 0660, owner root, group dialout\\): add "
                                          "the user to the group dialout \\(sudo usermod "
                                          "-aG dialout \\$USER\\)";
    QTest::newRow("0600 root:root") << 020600u
                                    << "mode 0600.*joining the group does not help; .*udev"
                                       " rule.*ask root, its owner";
    QTest::newRow("0640 root:root, group reads only") << 020640u << "does not help";
    QTest::newRow("0620 root:tty, group writes only") << 020620u << "does not help";
}

void HostProgramTest::permissionAdvice()
{
    QFETCH(uint, mode);
    QFETCH(QString, advice);
    const bool dialout = (mode & 0060) == 0060;
    const QString text =
        connection::permissionAdvice(QStringLiteral("/dev/ttyUSB0"), mode, QStringLiteral("root"),
                                     dialout ? QStringLiteral("dialout") : QStringLiteral("root"));
    QVERIFY2(text.startsWith(QLatin1String("/dev/ttyUSB0 is not accessible to this user")),
             qPrintable(text));
    QVERIFY2(QRegularExpression(advice).match(text).hasMatch(), qPrintable(text));
    if (!dialout)
        QVERIFY2(!text.contains(QLatin1String("usermod")), qPrintable(text));
}

void HostProgramTest::boundedFile_data()
{
    QTest::addColumn<QString>("path"); // %dir is filled in
    QTest::addColumn<qint64>("limit");
    QTest::addColumn<int>("size"); // of what is read; -1: refused
    QTest::addColumn<QString>("why");
    const QString larger = QStringLiteral("larger than %1, the most read from one file");
    QTest::newRow("bad.csv, 30 bytes, limit 30") << "%dir/bad.csv" << qint64(30) << 30 << "";
    QTest::newRow("bad.csv, 30 bytes, limit 29")
        << "%dir/bad.csv" << qint64(29) << -1 << larger.arg("29 bytes");
    // Its size says 0 and its text goes on: the read stops one byte past the limit.
    QTest::newRow("/proc/self/maps, limit 16")
        << "/proc/self/maps" << qint64(16) << -1 << larger.arg("16 bytes");
}

// The helper the tag lists and the gateway's files are read with: exactly up to its limit.
void HostProgramTest::boundedFile()
{
    QFETCH(QString, path);
    QFETCH(qint64, limit);
    QFETCH(int, size);
    QFETCH(QString, why);
    QByteArray bytes("left over");
    QCOMPARE(readBoundedFile(filled({path}).first(), limit, &bytes), why);
    QCOMPARE(bytes.size(), qMax(size, 0));
}

QTEST_GUILESS_MAIN(HostProgramTest)
#include "tst_hostprogram.moc"
