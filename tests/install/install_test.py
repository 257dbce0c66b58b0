#!/usr/bin/env python3
"""The installed tree and the .deb, checked as a user would meet them.

    install_test.py udev SOURCE            the udev rule checker rejects broken lines
    install_test.py tree BUILD SOURCE      make install into a DESTDIR
    install_test.py package BUILD SOURCE   the .deb: lintian, contents, dependencies
"""
import glob
import gzip
import os
import re
import struct
import subprocess
import sys
import tempfile

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAILED: " + what)


def run(args, **kw):
    return subprocess.run(args, capture_output=True, text=True, timeout=300, **kw)


def version(build):
    with open(os.path.join(build, "CMakeCache.txt")) as f:
        return re.search(r"^CMAKE_PROJECT_VERSION:STATIC=(.*)$", f.read(), re.M).group(1)


def programs(build):
    return [p for p in ("korvane", "korvane-panels", "korvane-cli") if os.path.isfile(os.path.join(build, p))]


def install(build, dest, prefix):
    done = run(["cmake", "--install", build, "--prefix", prefix], env=dict(os.environ, DESTDIR=dest))
    check(done.returncode == 0, "cmake --install: " + done.stdout + done.stderr)
    tree = set()
    for folder, _, files in os.walk(dest):
        tree.update(os.path.relpath(os.path.join(folder, f), dest) for f in files)
    return tree


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    check(head[:8] == b"\x89PNG\r\n\x1a\n", path + " is a PNG")
    return struct.unpack(">II", head[16:24])


def ftdi_products(source):
    with open(os.path.join(source, "bus", "port", "port.h")) as f:
        listed = re.search(r"PORT_FTDI_PRODUCTS\[\]\s*=\s*\{([^}]*)\}", f.read()).group(1)
    return {int(p, 16) for p in listed.split(",")}


def udev_checker(source):
    sys.dont_write_bytecode = True  # nothing written into the source tree
    sys.path.insert(0, os.path.join(source, "tools"))
    import check_udev_rules
    return check_udev_rules


GOOD_RULES = [
    "# a comment",
    "",
    'SUBSYSTEM=="usb", ATTR{idVendor}=="0403", TAG+="uaccess", GROUP="plugdev", MODE="0660"',
    'ACTION=="add", SUBSYSTEM=="tty", ATTRS{idVendor}=="0403", SYMLINK+="dmx%n"',
    'KERNEL=="ttyUSB*", \\',
    '  MODE="0660", TAG-="uaccess",',
    'SUBSYSTEM!="usb", GOTO="end"',
    'ENV{ID_X}="1", RUN+="/bin/true", TEST{0644}=="/x", IMPORT{builtin}="usb_id"',
    'PROGRAM=="/bin/echo \\"x\\"", RESULT=="x", OPTIONS+="last_rule"',
    'LABEL="end"',
]

BROKEN_RULES = [
    'SUBSYSTEM="usb", ATTR{idVendor}=="0403"',          # assignment to a match key
    'SUBSYSTEM=="usb" ATTR{idVendor}=="0403"',          # no comma
    'SUBSYSTEM=="usb", ATTR{idVendor}=="0403',          # unterminated value
    'SUBSYSTEM=="usb", ATTRS{idVendor}="0403"',         # ATTRS only matches
    'SUBSYSTEM=="usb", ATTR=="0403"',                   # attribute missing
    'SUBSYSTEM=="usb", IDVENDOR=="0403"',               # unknown key
    'SUBSYSTEM=="usb", MODE="660x"',                    # not octal
    'SUBSYSTEM=="usb", GROUP=="plugdev"',               # GROUP only assigns
    'SUBSYSTEM=="usb", TAG+=uaccess',                   # unquoted value
    'SUBSYSTEM=="usb", GROUP+="plugdev"',               # no += for GROUP
    'SUBSYSTEM{usb}=="x"',                              # no attribute for SUBSYSTEM
    'SUBSYSTEM=="usb", GOTO="nowhere"',                 # no such LABEL
    ", ,",                                              # no token
    'SUBSYSTEM=="usb", MODE="0660" GROUP="plugdev"',    # no comma after a value
]


def test_udev(source):
    checker = udev_checker(source)
    check(checker.check_lines(GOOD_RULES) == [], "valid rules pass: %s" % checker.check_lines(GOOD_RULES))
    for line in BROKEN_RULES:
        at = {n for n, _ in checker.check_lines(GOOD_RULES + [line])}
        check(at == {len(GOOD_RULES) + 1}, "broken line rejected at its number: %s %s" % (line, at))
    reported = {n for n, _ in checker.check_lines(BROKEN_RULES)}
    check(reported == set(range(1, len(BROKEN_RULES) + 1)), "every broken line reported: %s" % sorted(reported))
    check(checker.check_lines(['KERNEL=="x", \\']) != [], "a dangling continuation is rejected")
    with tempfile.NamedTemporaryFile("w", suffix=".rules") as f:
        f.write("\n".join(BROKEN_RULES[:2]) + "\n")
        f.flush()
        done = run([sys.executable, os.path.join(source, "tools", "check_udev_rules.py"), f.name])
        check(done.returncode == 1 and done.stdout.count(f.name + ":") == 2, "the command fails: " + done.stdout)


def test_tree(build, source):
    v = version(build)
    progs = programs(build)
    check("korvane" in progs and "korvane-panels" in progs, "both programs built: %s" % progs)
    sizes = [16, 22, 24, 32, 48, 64, 128, 256]
    with tempfile.TemporaryDirectory() as dest:
        prefix = "/opt/korvane-test"
        tree = install(build, dest, prefix)
        root = dest + prefix
        expected = {"bin/" + p for p in progs}
        expected |= {"share/man/man1/%s.1.gz" % p for p in progs}
        expected |= {"share/icons/hicolor/%dx%d/apps/korvane.png" % (s, s) for s in sizes}
        docs = {"share/doc/korvane/README.md": "README.md", "share/doc/korvane/site-file.md": "docs/site-file.md"}
        expected |= {"share/applications/korvane.desktop", "lib/udev/rules.d/60-korvane.rules",
                     "share/doc/korvane/copyright", "share/doc/korvane/changelog.gz"} | set(docs)
        check(tree == {prefix.lstrip("/") + "/" + e for e in expected},
              "installed under the prefix, nothing else: extra %s, missing %s" %
              (sorted(tree - {prefix.lstrip("/") + "/" + e for e in expected}),
               sorted({prefix.lstrip("/") + "/" + e for e in expected} - tree)))

        for p in progs:
            exe = os.path.join(root, "bin", p)
            done = run([exe, "--version"], cwd=dest)
            check(done.returncode == 0 and done.stdout == "%s %s\n" % (p, v), p + " --version: " + done.stdout)
            helped = run([exe, "--help"], cwd=dest)
            check(helped.returncode == 0, p + " --help")
            with gzip.open(os.path.join(root, "share/man/man1/%s.1.gz" % p), "rt") as f:
                page = f.read().replace("\\-", "-")
            check(page.startswith(".\\\" DO NOT MODIFY") and ('.TH %s "1"' % p.upper()) in page, p + ".1 header")
            check('"%s %s"' % (p, v) in page, p + ".1 names version " + v)
            for option in set(re.findall(r"--[a-z][a-z-]*", helped.stdout)):
                check(option in page, "%s.1 documents %s" % (p, option))
            sections = set(re.findall(r'^\.SH "?([A-Z ]+)"?$', page, re.M))
            wanted = {"SEE ALSO"} | ({"EXAMPLES", "FILES"} if p == "korvane-cli" else set())
            check(wanted <= sections, "%s.1 has %s: %s" % (p, sorted(wanted), sorted(sections)))
            check("tivol" not in page, p + ".1 names no icon file")

        helped = run([os.path.join(root, "bin", "korvane"), "--help"]).stdout
        check("KORVANE_PORT" in helped and "ftdi:SERIAL" in helped, "korvane --help shows KORVANE_PORT")
        refused = run([os.path.join(root, "bin", "korvane"), "--no-such-option"])
        check(refused.returncode == 2 and "--no-such-option" in refused.stderr, "a bad option exits 2")

        for installed, source_file in docs.items():
            with open(os.path.join(root, installed), "rb") as a, open(os.path.join(source, source_file), "rb") as b:
                check(a.read() == b.read(), installed + " is " + source_file)

        desktop = os.path.join(root, "share/applications/korvane.desktop")
        done = run(["desktop-file-validate", desktop])
        check(done.returncode == 0 and done.stdout == "", "desktop-file-validate: " + done.stdout)
        with open(desktop) as f:
            entry = dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)
        check(entry.get("Exec") == "korvane" and entry.get("Icon") == "korvane", "menu entry starts korvane")

        for s in sizes:
            icon = os.path.join(root, "share/icons/hicolor/%dx%d/apps/korvane.png" % (s, s))
            check(png_size(icon) == (s, s), "icon %d is %dx%d" % (s, s, s))
        with open(os.path.join(root, "share/icons/hicolor/48x48/apps/korvane.png"), "rb") as a, \
                open(os.path.join(source, "gui", "tivol.png"), "rb") as b:
            check(a.read() == b.read(), "the 48x48 menu icon is the window icon")

        rules = os.path.join(root, "lib/udev/rules.d/60-korvane.rules")
        with open(rules) as f:
            lines = f.readlines()
        check(udev_checker(source).check_lines(lines) == [], "the udev rule parses")
        granted = set()
        for line in lines:
            if line.startswith("#") or not line.strip():
                continue
            check('SUBSYSTEM=="usb"' in line and 'ATTR{idVendor}=="0403"' in line and 'TAG+="uaccess"' in line
                  and 'GROUP="plugdev"' in line and 'MODE="0660"' in line, "rule grants uaccess and plugdev: " + line)
            granted |= {int(p, 16) for p in re.findall(r'ATTR\{idProduct\}=="([0-9a-f]{4})"', line)}
        check(granted == ftdi_products(source),
              "the rule covers the cables the port layer opens: %s" % sorted(map(hex, granted)))


def test_package(build, source):
    with tempfile.TemporaryDirectory() as work:
        done = run(["cpack", "--config", os.path.join(build, "CPackConfig.cmake"), "-B", work])
        check(done.returncode == 0, "cpack: " + done.stdout + done.stderr)
        debs = glob.glob(os.path.join(work, "korvane_%s_*.deb" % version(build)))
        check(len(debs) == 1, "one .deb: %s" % debs)
        if len(debs) != 1:
            return
        deb = debs[0]
        print("%s: %d bytes" % (os.path.basename(deb), os.path.getsize(deb)))

        lint = run(["lintian", "--fail-on", "error", deb])
        print(lint.stdout, end="")
        check(lint.returncode == 0 and not re.search(r"^[EW]:", lint.stdout, re.M), "lintian: no errors, no warnings")

        listed = run(["dpkg-deb", "-c", deb]).stdout.splitlines()
        packaged = {line.split()[5].lstrip("./") for line in listed if not line.startswith("d")}
        installed = install(build, os.path.join(work, "tree"), "/usr")
        check(packaged == installed, "dpkg-deb -c holds the installed files: missing %s, extra %s" %
              (sorted(installed - packaged), sorted(packaged - installed)))

        depends = run(["dpkg-deb", "-f", deb, "Depends"]).stdout
        for lib in ("libgtk2.0-0", "libftdi1-2"):
            check(re.search(r"(^|, )%s( |,|$)" % re.escape(lib), depends) is not None, "depends on " + lib)

        unpacked = os.path.join(work, "unpacked")
        run(["dpkg-deb", "-x", deb, unpacked])
        for p in programs(build):
            done = run([os.path.join(unpacked, "usr/bin", p), "--version"])
            check(done.stdout == "%s %s\n" % (p, version(build)), "packaged %s runs" % p)


def main(argv):
    if len(argv) >= 2 and argv[0] == "udev":
        test_udev(argv[1])
    elif len(argv) >= 3 and argv[0] == "tree":
        test_tree(argv[1], argv[2])
    elif len(argv) >= 3 and argv[0] == "package":
        test_package(argv[1], argv[2])
    else:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    print("%d failed" % len(failures) if failures else "all passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
