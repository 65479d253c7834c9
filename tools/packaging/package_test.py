"""The tools' Debian package, as a media maker gets it.

    package_test.py brindlex-tools_VERSION_amd64.deb

Root only: it installs the package on this machine with apt-get and purges
it at the end. lintian finds no error in it. `make install` with DESTDIR and
PREFIX puts the same files below DESTDIR/PREFIX, and the builders there
take PREFIX's boot system by default. Installed, and with only the
installed commands on the PATH and their defaults (no build folder, no
boot system named): the tools answer with the package's version and have
their manual pages, which render without a warning; brindlex-pkg makes a
package that the unpacker installs; the sample packages and that one
become an installation CD and a disk image, and the network boot image is
made, all carrying the installed boot system, and the samples a floppy set; the dissector is among
tshark's plugins. The CD boots on the test PC through its BIOS into the
package menu, which lists every package. The purge leaves none of the
package's files behind.
"""

import filecmp
import os
import shutil
import subprocess
import sys
import tempfile

from testpc import SOURCE_DIR, TestPC, make_disk_image, run_scenario

PACKAGE = "brindlex-tools"
TOOLS = {"brindlex-pkg": "/usr/bin", "brindlex-floppyset": "/usr/bin",
         "brindlex-make-cd": "/usr/bin", "brindlex-make-disk-image": "/usr/bin",
         "brindlex-make-netboot": "/usr/bin",
         "brindlex-unpack": "/usr/bin", "brindlex-install-server": "/usr/sbin"}
SAMPLES = "/usr/share/brindlex/samples"
BOOTSYS = "/usr/lib/brindlex"
# The sample packages in installation order, and the one made here.
SAMPLE_ORDER = ["kernel", "system", "routing", "firewall", "webadmin"]
MENU = "Welcome to Brindlex Router Software installation"
# Only what the package put on the machine, as a media maker's shell has it.
INSTALLED_ENV = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "LC_ALL": "C.UTF-8",
                 "HOME": "/root"}


def expect(condition, message):
    if not condition:
        raise AssertionError(message)


def run(args, cwd=None, env=None, stdin=None):
    """Runs a command; its output, or an AssertionError with it."""
    r = subprocess.run(args, cwd=cwd, env=env, stdin=stdin, stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE, text=True, timeout=300)
    expect(r.returncode == 0, "%s: status %d\n%s%s" % (" ".join(args), r.returncode, r.stdout,
                                                       r.stderr))
    return r.stdout + r.stderr


def installed_tool(args, cwd, stdin=None):
    return run(args, cwd=cwd, env=INSTALLED_ENV, stdin=stdin)


def check_lintian(deb):
    """No error; what it reports is shown."""
    r = subprocess.run(["lintian", "--fail-on", "error", deb], stdout=subprocess.PIPE,
                       stderr=subprocess.STDOUT, text=True, timeout=600)
    print("lintian: %s" % (r.stdout.strip() or "no tags"))
    expect(r.returncode == 0, "lintian finds errors in %s:\n%s" % (deb, r.stdout))


def check_make_install(deb, work):
    """`make install DESTDIR=... PREFIX=...`: the package's files, below
    DESTDIR/PREFIX instead of /usr (the Lua plugins in PREFIX/lib), and the
    builders' default boot system is PREFIX's."""
    destdir, prefix = os.path.join(work, "destdir"), "/opt/brindlex-test"
    run(["make", "-C", SOURCE_DIR, "install", "DESTDIR=" + destdir, "PREFIX=" + prefix,
         "JOBS=2"])
    root = destdir + prefix
    installed = set()
    for folder, _, names in os.walk(root):
        installed.update(os.path.relpath(os.path.join(folder, n), root) for n in names)
    packaged = set()
    for line in run(["dpkg-deb", "-c", deb]).splitlines():
        if not line.startswith("d"):
            path = line.split()[-1][len("./usr/"):]
            packaged.add(path.replace("lib/x86_64-linux-gnu/", "lib/"))
    expect(len(packaged) > 20, "the package lists only %s" % sorted(packaged))
    expect(installed == packaged, "make install differs from the package: only installed %s, "
           "only packaged %s" % (sorted(installed - packaged), sorted(packaged - installed)))
    cd_help = run([os.path.join(root, "bin", "brindlex-make-cd"), "--help"])
    expect(prefix + "/lib/brindlex," in cd_help,
           "make install's brindlex-make-cd does not default to %s/lib/brindlex" % prefix)


def check_tools_and_pages(version, work):
    for tool, folder in TOOLS.items():
        found = shutil.which(tool, path=INSTALLED_ENV["PATH"])
        expect(found == os.path.join(folder, tool), "%s is %s, not in %s" % (tool, found, folder))
        out = installed_tool([tool, "--version"], work)
        expect(out == "%s (Brindlex Router Software) %s\n" % (tool, version),
               "%s --version: %r" % (tool, out))
        page = installed_tool(["man", "-w", tool], work).strip()
        section = "8" if folder.endswith("sbin") else "1"
        expect(page == "/usr/share/man/man%s/%s.%s.gz" % (section, tool, section),
               "man -w %s: %s" % (tool, page))
        warnings = subprocess.run(["man", "--warnings", "-E", "UTF-8", "-l", "-Tutf8", "-Z", page],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                                  env=dict(INSTALLED_ENV, MANROFFSEQ="", MANWIDTH="80"))
        expect(warnings.returncode == 0 and not warnings.stderr.strip(),
               "man -l %s warns: %s" % (page, warnings.stderr))
    cd_help = installed_tool(["brindlex-make-cd", "--help"], work)
    expect(BOOTSYS in cd_help, "brindlex-make-cd --help names no default %s" % BOOTSYS)


def make_site_package(work):
    """brindlex-pkg makes a package; brindlex-unpack installs and lists it."""
    tree = os.path.join(work, "site")
    os.makedirs(os.path.join(tree, "etc"))
    with open(os.path.join(tree, "etc", "site.conf"), "w") as f:
        f.write("site=lab\n")
    packages = os.path.join(work, "packages")
    shutil.copytree(os.path.join(SAMPLES, "packages"), packages)
    site = os.path.join(packages, "site.vpk")
    installed_tool(["brindlex-pkg", "build", "--name", "site", "--description", "Site settings",
                    "--depends", "system", "--root-owner", "--output", site, tree], work)
    installed_tool(["brindlex-pkg", "verify", site], work)
    root = os.path.join(work, "root")
    os.mkdir(root)
    with open(site, "rb") as f:
        installed_tool(["brindlex-unpack", "-r", root, "-"], work, stdin=f)
    with open(os.path.join(root, "etc", "site.conf")) as f:
        expect(f.read() == "site=lab\n", "the unpacker did not install site's file")
    listed = installed_tool(["brindlex-unpack", "-l", "-r", root], work)
    expect("site" in listed, "brindlex-unpack -l: %r" % listed)
    return packages


def carries_installed_boot_system(extract, what):
    """extract(name, to) copies the medium's /boot/NAME out; both files
    must be the installed boot system's."""
    for name in ("vmlinuz", "initrd.gz"):
        copy = os.path.join(os.path.dirname(what), "from-medium-" + name)
        extract(name, copy)
        expect(filecmp.cmp(copy, os.path.join(BOOTSYS, name), shallow=False),
               "%s's /boot/%s is not %s/%s" % (what, name, BOOTSYS, name))
        os.unlink(copy)


def make_media(work, packages):
    cd = os.path.join(work, "install.iso")
    installed_tool(["brindlex-make-cd", packages, cd], work)
    carries_installed_boot_system(
        lambda name, to: run(["xorriso", "-osirrox", "on", "-indev", cd, "-extract",
                              "/boot/" + name, to]), cd)
    image = os.path.join(work, "router.img")
    out = installed_tool(["brindlex-make-disk-image", "--size", "64", "--script",
                          os.path.join(SAMPLES, "autorun.scr"), "--choose", packages, image],
                         work)
    expect("needs at least" in out, "brindlex-make-disk-image: %r" % out)
    carries_installed_boot_system(
        lambda name, to: run(["mcopy", "-n", "-i", image, "::/boot/" + name, to],
                             env=dict(INSTALLED_ENV, MTOOLS_SKIP_CHECK="1")), image)
    tree = os.path.join(work, "netboot")
    installed_tool(["brindlex-make-netboot", tree], work)
    expect(os.path.isfile(os.path.join(tree, "pxelinux.0")),
           "the network boot image has no pxelinux.0")
    carries_installed_boot_system(
        lambda name, to: shutil.copyfile(os.path.join(tree, "boot", name), to), tree)
    payload = os.path.join(work, "payload")
    with open(payload, "wb") as out_file:
        for name in SAMPLE_ORDER:
            with open(os.path.join(SAMPLES, "packages", name + ".vpk"), "rb") as f:
                shutil.copyfileobj(f, out_file)
    floppies = os.path.join(work, "floppies")
    os.mkdir(floppies)
    out = installed_tool(["brindlex-floppyset", payload, floppies], work)
    count = len([f for f in os.listdir(floppies) if f.endswith(".img")])
    expect(count > 1 and out.startswith("%d data floppies" % count),
           "brindlex-floppyset: %r, %d images" % (out, count))
    return cd


def check_dissector(work):
    plugins = installed_tool(["tshark", "-G", "plugins"], work)
    expect("brindlex_install.lua" in plugins, "tshark does not load the dissector:\n" + plugins)


def boot_cd(cd, work):
    """The PC's BIOS boots the CD; its serial entry reaches the menu, which
    lists the samples and the package made here."""
    disk = make_disk_image(os.path.join(work, "hda.img"), 200)
    with TestPC("package-cd", disks=[disk], cdrom=cd, boot_from="cdrom", memory_mb=128) as pc:
        pc.start()
        pc.boot_entry("serial")
        pc.expect(MENU, 180)
        pc.expect("system (depends on kernel):", 60)
        menu = pc.console_text()
        for name in SAMPLE_ORDER + ["site"]:
            expect("] %s " % name in menu, "the menu lists no %s:\n%s" % (name, menu))


def files_of_package():
    listed = run(["dpkg-query", "-L", PACKAGE]).split("\n")
    return [p for p in listed if p and os.path.isfile(p)]


def purge_and_check(files):
    run(["apt-get", "purge", "-y", PACKAGE], env=dict(os.environ,
                                                      DEBIAN_FRONTEND="noninteractive"))
    status = subprocess.run(["dpkg-query", "-W", "-f=${Status}", PACKAGE],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    expect(status.returncode != 0 or "not-installed" in status.stdout,
           "%s is still known to dpkg: %r" % (PACKAGE, status.stdout))
    left = [p for p in files if os.path.lexists(p)]
    left += [d for d in (BOOTSYS, "/usr/share/brindlex", "/usr/share/doc/" + PACKAGE)
             if os.path.lexists(d)]
    expect(not left, "the purge left %s behind" % ", ".join(left))


def main():
    deb = os.path.abspath(sys.argv[1])
    expect(os.geteuid() == 0, "the package test installs %s with apt-get: run it as root" % deb)
    known = subprocess.run(["dpkg-query", "-W", "-f=${Status}", PACKAGE], stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL, text=True)
    expect(known.returncode != 0 or "not-installed" in known.stdout,
           "%s is installed on this machine already: purge it before the test" % PACKAGE)
    version = run(["dpkg-deb", "-f", deb, "Version"]).strip()
    check_lintian(deb)
    with tempfile.TemporaryDirectory(prefix="brindlex-install-") as work:
        check_make_install(deb, work)
    run(["apt-get", "install", "-y", deb], env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
    files = files_of_package()
    try:
        with tempfile.TemporaryDirectory(prefix="brindlex-package-") as work:
            check_tools_and_pages(version, work)
            packages = make_site_package(work)
            cd = make_media(work, packages)
            check_dissector(work)
            boot_cd(cd, work)
    finally:
        purge_and_check(files)


run_scenario(main)
