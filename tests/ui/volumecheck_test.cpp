// The target checks on paths and on real volumes: loop-device images of NTFS, exFAT, FAT32 and
// ext4 where the machine allows mounting them, a RAM disk, and the system's own folders.
#include <QDir>
#include <QProcess>
#include <QTest>

#include "platform/volume.h"
#include "ui/volumecheck.h"
#include "uitest.h"

#ifndef Q_OS_WIN
using uitest::LoopVolume;
#endif

class TestVolumeChecks : public QObject {
    Q_OBJECT
  private slots:
    void tidiesTrailingSeparatorsDotsAndBlanks_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("tidied");
        QTest::newRow("trailing separator") << "D:\\Games\\"
                                            << "D:\\Games";
        QTest::newRow("drive root") << "D:\\"
                                    << "D:";
        QTest::newRow("trailing dot") << "D:\\Games\\."
                                      << "D:\\Games";
        QTest::newRow("posix dot") << "/tmp/x/."
                                   << "/tmp/x";
        QTest::newRow("blanks and tabs") << " \t/data/games/ \n"
                                         << "/data/games";
        QTest::newRow("only dots and separators") << "\\./.\\"
                                                  << "";
        QTest::newRow("blanks only") << "    "
                                     << "";
        QTest::newRow("inner dots stay") << "/a/..b/c.d"
                                         << "/a/..b/c.d";
    }
    void tidiesTrailingSeparatorsDotsAndBlanks() {
        QFETCH(QString, typed);
        QFETCH(QString, tidied);
        NormalizePath(typed);
        QCOMPARE(typed, tidied);
    }

    void targetMustLieApartFromSource_data() {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("target");
        QTest::addColumn<bool>("apart");
#ifdef Q_OS_WIN
        const QString s = "C:\\Oculus";
        QTest::newRow("parent of source") << s << "C:" << false;
        QTest::newRow("parent, lower case") << s << "c:" << false;
        QTest::newRow("parent with separator") << s << "C:\\" << false;
        QTest::newRow("source itself") << s << "C:\\Oculus" << false;
        QTest::newRow("other case, trailing") << s << "c:\\OCULUS\\" << false;
        QTest::newRow("inside") << s << "C:\\Oculus\\Games" << false;
        QTest::newRow("longer sibling") << s << "C:\\Oculus2" << false;
        QTest::newRow("other drive") << s << "D:\\Oculus" << true;
        QTest::newRow("installation at a root") << "D:"
                                                << "D:\\Games" << false;
        QTest::newRow("root install, other drive") << "D:"
                                                   << "E:\\Games" << true;
#else
        const QString s = "/c/Oculus";
        QTest::newRow("parent of source") << s << "/c" << false;
        QTest::newRow("parent, other case") << s << "/C" << false;
        QTest::newRow("source itself") << s << "/c/Oculus" << false;
        QTest::newRow("other case, trailing") << s << "/c/OCULUS/" << false;
        QTest::newRow("inside") << s << "/c/Oculus/Games" << false;
        QTest::newRow("longer sibling") << s << "/c/Oculus2" << false;
        QTest::newRow("elsewhere") << s << "/d/Oculus" << true;
        QTest::newRow("sibling folder") << s << "/c/Games" << true;
        QTest::newRow("source with separator") << "/c/Oculus/"
                                               << "/c" << false;
#endif
        QTest::newRow("empty target") << s << "" << false;
        QTest::newRow("empty source") << ""
                                      << "/d" << false;
    }
    void targetMustLieApartFromSource() {
        QFETCH(QString, source);
        QFETCH(QString, target);
        QFETCH(bool, apart);
        QCOMPARE(IsTargetApartFromSource(source, target), apart);
    }

    // A copy cut to the buffer could lose exactly the part that puts the target inside the
    // source; a path too long to judge whole is refused.
    void overlongPathsAreRefusedNotCut() {
        const QString source = "/c/Oculus";
        const QString longTarget = "/d/" + QString(kMaxCheckedPath, u'x');
        QVERIFY(!IsTargetApartFromSource(source, longTarget));
        QVERIFY(!IsTargetApartFromSource("/e/" + QString(kMaxCheckedPath, u'y'), "/d/Games"));
        const QString fits = "/d/" + QString(kMaxCheckedPath - 3, u'x');
        QCOMPARE(fits.size(), kMaxCheckedPath);
        QVERIFY(IsTargetApartFromSource(source, fits));
    }

    void emptyOrUnknownPathsGiveNegativeAnswers() {
        QCOMPARE(GetFileSystemKind(""), FsUnknown);
        QVERIFY(!IsHardDiskOrFlash(""));
        QVERIFY(!IsUsbDevice(""));
#ifndef Q_OS_WIN
        QCOMPARE(GetFileSystemKind("relative/path"), FsUnknown);
        QVERIFY(!IsHardDiskOrFlash("relative/path"));
#endif
    }

#ifndef Q_OS_WIN
    void systemFoldersAreJudgedByTheirMount() {
        QVERIFY(!IsHardDiskOrFlash("/proc/self"));
        QCOMPARE(GetFileSystemKind("/proc/self"), FsOther);
        const std::wstring shm = sys::DriveRootOf(L"/dev/shm/x");
        if (shm != L"/dev/shm") QSKIP("/dev/shm is not a mount of its own here");
        QVERIFY2(!IsHardDiskOrFlash("/dev/shm"), "a RAM disk is no hard disk");
        QVERIFY(!IsUsbDevice("/dev/shm"));
    }

    void ntfsImageIsNtfs() {
        LoopVolume volume({"mkntfs", "-Q", "-F"}, {"ntfs-3g"});
        REQUIRE_VOLUME(volume);
        QCOMPARE(GetFileSystemKind(volume.point() + "/some folder"), FsNtfs);
        QVERIFY(IsHardDiskOrFlash(volume.point()));
        QVERIFY2(!IsUsbDevice(volume.point()), "a loop device is no USB disk");
    }

    void exfatImageIsExFat() {
        LoopVolume volume({"mkfs.exfat"}, {"mount.exfat-fuse"});
        REQUIRE_VOLUME(volume);
        QCOMPARE(GetFileSystemKind(volume.point()), FsExFat);
        QVERIFY(IsHardDiskOrFlash(volume.point()));
    }

    void fat32ImageIsFat32ThroughFuseAndKernel() {
        LoopVolume fuse({"mkfs.vfat", "-F", "32"}, {"fusefat", "-o", "rw+"});
        REQUIRE_VOLUME(fuse);
        QCOMPARE(GetFileSystemKind(fuse.point()), FsFat32);
        LoopVolume kernel({"mkfs.vfat", "-F", "32"}, {});
        if (!kernel.ok()) QSKIP(qPrintable("no kernel vfat: " + kernel.why()));
        QCOMPARE(GetFileSystemKind(kernel.point()), FsFat32);
    }

    void fat16ImageIsOther() {
        LoopVolume volume({"mkfs.vfat", "-F", "16"}, {}, 20);
        REQUIRE_VOLUME(volume);
        QCOMPARE(GetFileSystemKind(volume.point()), FsOther);
    }

    void ext4ImageIsNative() {
        LoopVolume volume({"mkfs.ext4", "-q"}, {});
        REQUIRE_VOLUME(volume);
        QCOMPARE(GetFileSystemKind(volume.point() + "/lost+found"), FsNative);
        QVERIFY(IsHardDiskOrFlash(volume.point()));
    }

    void ramDiskIsNoHardDisk() {
        uitest::Scratch scratch;
        scratch.Make("ram");
        const QString point = scratch.Path("ram");
        if (QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=1m", "tmpfs", point}) != 0) {
            QSKIP("cannot mount a tmpfs here (needs root)");
        }
        const bool hardDisk = IsHardDiskOrFlash(point);
        const FsKind kind = GetFileSystemKind(point);
        QProcess::execute("umount", {point});
        QVERIFY(!hardDisk);
        QCOMPARE(kind, FsOther);
    }
#endif
};

HX_REGISTER_TEST(TestVolumeChecks);
#include "volumecheck_test.moc"
