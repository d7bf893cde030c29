#!/usr/bin/env python3
# SPDX-FileCopyrightText: 2026 the camera_control developers
# SPDX-License-Identifier: MIT
"""Writes src/controls/control_aliases.cpp: the USB webcam controls that Linux 5.16 renamed.

Until 5.15 the uvcvideo driver gave its standard controls names of its own (uvc_ctrl_mappings[]
in drivers/media/usb/uvc/uvc_ctrl.c, "Exposure, Auto"); from 5.16 on they carry the control
framework's common names (v4l2_ctrl_get_name() in drivers/media/v4l2-core/v4l2-ctrls-defs.c,
"Auto Exposure"). A settings file saved under one kernel names such a control by a variable name
the other kernel does not know; the table pairs the two names of every control whose variable
name changed, so a load can find the control under either.

The names come from the kernels' own sources, read, never built:
  old tree  drivers/media/usb/uvc/uvc_ctrl.c, include/uapi/linux/v4l2-controls.h, Makefile (5.10)
  new tree  drivers/media/v4l2-core/v4l2-ctrls-defs.c, include/uapi/linux/v4l2-controls.h,
            Makefile (6.1)

Usage:
  tools/gen-control-aliases.py --old DIR --new DIR [--out FILE]
  tools/gen-control-aliases.py --fetch WORKDIR [--out FILE]
--fetch downloads Debian's linux-source-5.10 (bullseye) and linux-source-6.1 (the system's
bookworm) with apt-get download, through a private apt configuration for bullseye that leaves
the system's own apt state alone, and unpacks only the files named above. Run it on demand after
a kernel change, not in CI; the output is committed. Python 3 standard library only.
"""
import argparse
import glob
import os
import re
import subprocess
import sys

OLD_FILES = ["drivers/media/usb/uvc/uvc_ctrl.c", "include/uapi/linux/v4l2-controls.h", "Makefile"]
NEW_FILES = ["drivers/media/v4l2-core/v4l2-ctrls-defs.c", "include/uapi/linux/v4l2-controls.h",
             "Makefile"]
KEYRING = "/usr/share/keyrings/debian-archive-keyring.gpg"


def die(message):
    sys.exit("gen-control-aliases: " + message)


def read(tree, relative):
    path = os.path.join(tree, relative)
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except OSError as e:
        die("cannot read %s: %s" % (path, e.strerror))


def without_comments(src):
    return re.sub(r"//[^\n]*", "", re.sub(r"/\*.*?\*/", " ", src, flags=re.S))


def kernel_release(tree):
    """5.10.223 from the tree's top Makefile."""
    make = read(tree, "Makefile")
    parts = []
    for field in ("VERSION", "PATCHLEVEL", "SUBLEVEL"):
        m = re.search(r"^%s\s*=\s*(\d+)\s*$" % field, make, re.M)
        if not m:
            die("%s/Makefile has no %s" % (tree, field))
        parts.append(m.group(1))
    return ".".join(parts)


def evaluate(expression, constants):
    """A control id expression of the uapi header: names, numbers, + - | and parentheses."""
    text = re.sub(r"\b(0[xX][0-9a-fA-F]+|\d+)[uUlL]*\b", r"\1", expression.strip())

    def constant(m):
        if m.group(0) not in constants:
            raise KeyError(m.group(0))
        return "(%d)" % constants[m.group(0)]
    text = re.sub(r"\b[A-Za-z_]\w*\b", constant, text)
    if re.search(r"[^0-9xXa-fA-F()+\-| \t]", text):
        raise ValueError(expression)
    return eval(text, {"__builtins__": {}}, {})  # digits and operators only, checked above


def control_ids(header):
    """Every #define of the uapi controls header that evaluates to a number."""
    constants = {}
    for m in re.finditer(r"^#define\s+(\w+)[ \t]+([^\n]+)$", without_comments(header), re.M):
        try:
            constants[m.group(1)] = evaluate(m.group(2), constants)
        except (KeyError, ValueError, SyntaxError):
            pass
    return constants


def c_string(literals):
    """Adjacent C string literals joined; the names use no escapes but a quote or backslash."""
    joined = "".join(re.findall(r'"((?:[^"\\]|\\.)*)"', literals))
    return re.sub(r"\\(.)", r"\1", joined)


def top_level_blocks(src, opening):
    """The brace blocks directly inside the initializer that opens at src[opening]."""
    blocks, depth, first = [], 0, None
    for i in range(opening, len(src)):
        if src[i] == "{":
            depth += 1
            if depth == 2:
                first = i + 1
        elif src[i] == "}":
            depth -= 1
            if depth == 1:
                blocks.append(src[first:i])
            elif depth == 0:
                return blocks
    die("unbalanced braces in uvc_ctrl_mappings[]")


def uvc_mapping_names(uvc_ctrl, constants):
    """(id, name) of every mapping in the old uvcvideo's tables, in table order."""
    src = without_comments(uvc_ctrl)
    start = src.find("uvc_ctrl_mappings[] = {")
    if start < 0:
        die("uvc_ctrl.c has no uvc_ctrl_mappings[]")
    mappings = []
    for block in top_level_blocks(src, src.index("{", start)):
        cid = re.search(r"\.id\s*=\s*(\w+)\s*,", block)
        name = re.search(r"\.name\s*=\s*((?:\"(?:[^\"\\]|\\.)*\"\s*)+),", block)
        if not cid or not name:
            continue
        if cid.group(1) not in constants:
            die("uvc_ctrl.c names the unknown id %s" % cid.group(1))
        mappings.append((constants[cid.group(1)], cid.group(1), c_string(name.group(1))))
    if not mappings:
        die("no named mapping found in uvc_ctrl_mappings[]")
    return mappings


def common_names(ctrls_defs, constants):
    """id -> name from the control framework's v4l2_ctrl_get_name()."""
    src = without_comments(ctrls_defs)
    m = re.search(r"const char \*v4l2_ctrl_get_name\(u32 id\)\s*\{", src)
    if not m:
        die("v4l2-ctrls-defs.c has no v4l2_ctrl_get_name()")
    depth, i = 0, m.end() - 1
    for j in range(i, len(src)):
        depth += {"{": 1, "}": -1}.get(src[j], 0)
        if depth == 0:
            body = src[i + 1:j]
            break
    names, labels = {}, []
    for token in re.split(r"(\bcase\s+\w+\s*:|\bdefault\s*:)", body)[1:]:
        label = re.match(r"case\s+(\w+)\s*:", token)
        if label:
            labels.append(label.group(1))
            continue
        if token.strip().startswith("default"):
            labels = []
            continue
        ret = re.match(r"\s*return\s+((?:\"(?:[^\"\\]|\\.)*\"\s*)+);", token)
        if ret:
            for name in labels:
                if name in constants:
                    names[constants[name]] = c_string(ret.group(1))
        if token.strip():
            labels = []
    return names


def variable_name(display_name):
    """The program's key for a display name: lower-case ASCII words joined by single '_'."""
    return "_".join(w.lower() for w in re.findall(r"[A-Za-z0-9]+", display_name))


def debian_archive():
    """The Debian archive this machine's apt is configured with: the first one its index targets
    name, else the first one its sources files name. There is no fallback address."""
    uris = subprocess.run(["apt-get", "indextargets", "--format", "$(REPO_URI)"],
                          capture_output=True, text=True).stdout.split()
    sources = glob.glob("/etc/apt/sources.list") + sorted(glob.glob("/etc/apt/sources.list.d/*"))
    for path in sources:
        with open(path, errors="replace") as f:
            for line in f:
                words = line.split("#", 1)[0].split()
                if words[:1] == ["URIs:"]:
                    uris += words[1:]
                elif words[:1] == ["deb"]:
                    uris += [w for w in words[1:] if "://" in w][:1]
    for uri in uris:
        if re.search(r"/debian/?$", uri):
            return uri.rstrip("/")
    die("no Debian archive in this machine's apt configuration (apt-get indextargets, "
        "/etc/apt/sources.list*): add one, or give --old and --new trees")


def fetch(workdir):
    """Unpacks the needed files of Debian's linux-source-5.10 and -6.1; returns both trees."""
    workdir = os.path.abspath(workdir)
    apt_dir = os.path.join(workdir, "apt")
    for d in ("lists/partial", "archives/partial", "parts"):
        os.makedirs(os.path.join(apt_dir, d), exist_ok=True)
    open(os.path.join(apt_dir, "status"), "w").close()
    mirror = debian_archive()
    with open(os.path.join(apt_dir, "sources.list"), "w") as f:
        f.write("deb [signed-by=%s] %s bullseye main\n" % (KEYRING, mirror))
    private = ["-o", "Dir::Etc::SourceList=%s/sources.list" % apt_dir,
               "-o", "Dir::Etc::SourceParts=%s/parts" % apt_dir,
               "-o", "Dir::State::Lists=%s/lists" % apt_dir,
               "-o", "Dir::State::status=%s/status" % apt_dir,
               "-o", "Dir::Cache::pkgcache=", "-o", "Dir::Cache::srcpkgcache=",
               "-o", "Debug::NoLocking=1"]
    subprocess.run(["apt-get", *private, "update", "-qq"], check=True)
    trees = []
    for package, options, files in (("linux-source-5.10", private, OLD_FILES),
                                    ("linux-source-6.1", [], NEW_FILES)):
        subprocess.run(["apt-get", *options, "download", "-qq", package], cwd=workdir, check=True)
        deb = sorted(f for f in os.listdir(workdir) if f.startswith(package + "_"))[-1]
        unpacked = os.path.join(workdir, package + ".deb.d")
        subprocess.run(["dpkg-deb", "-x", os.path.join(workdir, deb), unpacked], check=True)
        tarball = os.path.join(unpacked, "usr/src", package + ".tar.xz")
        subprocess.run(["tar", "-xJf", tarball, "-C", workdir] +
                       ["%s/%s" % (package, f) for f in files], check=True)
        trees.append((os.path.join(workdir, package), deb))
    return trees


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--old", help="a Linux 5.10 tree (uvcvideo's own names)")
    parser.add_argument("--new", help="a Linux 5.16 or later tree (the common names)")
    parser.add_argument("--fetch", metavar="WORKDIR", help="fetch both from Debian into WORKDIR")
    here = os.path.dirname(os.path.abspath(__file__))
    parser.add_argument("--out", default=os.path.normpath(
        os.path.join(here, "..", "src", "controls", "control_aliases.cpp")))
    args = parser.parse_args()
    origin = {}
    if args.fetch:
        (args.old, origin["old"]), (args.new, origin["new"]) = fetch(args.fetch)
    if not args.old or not args.new:
        parser.error("give --old and --new, or --fetch")

    old_release, new_release = kernel_release(args.old), kernel_release(args.new)
    old_ids = control_ids(read(args.old, "include/uapi/linux/v4l2-controls.h"))
    new_ids = control_ids(read(args.new, "include/uapi/linux/v4l2-controls.h"))
    mappings = uvc_mapping_names(read(args.old, OLD_FILES[0]), old_ids)
    common = common_names(read(args.new, NEW_FILES[0]), new_ids)

    rows = []
    for cid, macro, old_name in mappings:
        if new_ids.get(macro) != cid:
            die("%s is 0x%08x in %s but %s in %s" % (macro, cid, old_release,
                                                    new_ids.get(macro), new_release))
        if cid not in common:
            die("%s has no common name in %s" % (macro, new_release))
        older, newer = variable_name(old_name), variable_name(common[cid])
        if older != newer:
            rows.append((cid, macro, old_name, common[cid], older, newer))
    olders = [r[4] for r in rows]
    if len(set(olders)) != len(olders) or set(olders) & {r[5] for r in rows}:
        die("two controls would share a variable name")

    lines = [
        "// Generated by tools/gen-control-aliases.py: the webcam controls Linux 5.16 renamed.",
        "// Older names: uvcvideo's own, uvc_ctrl_mappings[] in Linux %s" % old_release,
        "//   %s;" % OLD_FILES[0],
        "// newer names: the common ones, v4l2_ctrl_get_name() in Linux %s" % new_release,
        "//   %s;" % NEW_FILES[0],
        "// ids from each tree's include/uapi/linux/v4l2-controls.h.",
    ]
    if origin:
        lines.append("// Trees from Debian's %s and %s." % (origin["old"], origin["new"]))
    lines += [
        "// Do not edit: run the script again and commit its output.",
        "// SPDX-FileCopyrightText: 2026 the camera_control developers",
        "// SPDX-License-Identifier: MIT",
        '#include "controls/control_aliases.h"',
        "",
        "#include <array>",
        "",
        "namespace camctl {",
        "namespace {",
        "",
        "constexpr std::array<ControlAlias, %d> kAliases{{" % len(rows),
    ]
    for cid, macro, old_name, new_name, older, newer in rows:
        lines.append('    // %s: "%s" -> "%s"' % (macro, old_name, new_name))
        lines.append('    {0x%08x, "%s", "%s"},' % (cid, older, newer))
    lines += [
        "}};",
        "",
        "}  // namespace",
        "",
        "std::span<const ControlAlias> control_aliases() {",
        "  return kAliases;",
        "}",
        "",
        "std::uint32_t aliased_control_id(std::string_view key) {",
        "  for (const ControlAlias& alias : kAliases) {",
        "    if (key == alias.older_name || key == alias.newer_name) return alias.id;",
        "  }",
        "  return 0;",
        "}",
        "",
        "}  // namespace camctl",
        "",
    ]
    with open(args.out, "w") as f:
        f.write("\n".join(lines))
    print("gen-control-aliases: %d aliases (uvcvideo %s -> common names %s) in %s" %
          (len(rows), old_release, new_release, args.out))


if __name__ == "__main__":
    main()
