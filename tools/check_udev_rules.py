#!/usr/bin/env python3
"""Checks the syntax of udev rules files, as udev would read them.

Debian 12's udevadm has no `verify`; this does the part of it that matters for
a package's rules: every line is a comma-separated list of KEY{attr} OP "value"
tokens, each key known, with an operator it accepts and braces where it needs
them, a MODE in octal, and every GOTO has its LABEL.

    python3 tools/check_udev_rules.py FILE...

Prints one "file:line: message" per fault and exits 1 when there is any.
"""
import re
import sys

MATCH = {"==", "!="}
ASSIGN = {"=", "+=", "-=", ":="}

# key: (operators accepted, attribute: "required", "optional" or None)
KEYS = {
    "ACTION": (MATCH, None),
    "DEVPATH": (MATCH, None),
    "KERNEL": (MATCH, None),
    "KERNELS": (MATCH, None),
    "SUBSYSTEM": (MATCH, None),
    "SUBSYSTEMS": (MATCH, None),
    "DRIVER": (MATCH, None),
    "DRIVERS": (MATCH, None),
    "ATTRS": (MATCH, "required"),
    "TAGS": (MATCH, None),
    "TEST": (MATCH, "optional"),
    "PROGRAM": (MATCH, None),
    "RESULT": (MATCH, None),
    "CONST": (MATCH, "required"),
    "NAME": (MATCH | {"=", "+=", ":="}, None),
    "SYMLINK": (MATCH | ASSIGN, None),
    "TAG": (MATCH | ASSIGN, None),
    "ENV": (MATCH | {"=", "+=", ":="}, "required"),
    "ATTR": (MATCH | {"=", ":="}, "required"),
    "SYSCTL": (MATCH | {"=", ":="}, "required"),
    "IMPORT": (MATCH | {"="}, "required"),
    "OWNER": ({"=", ":="}, None),
    "GROUP": ({"=", ":="}, None),
    "MODE": ({"=", ":="}, None),
    "SECLABEL": ({"=", "+=", ":="}, "required"),
    "RUN": ({"=", "+=", ":="}, "optional"),
    "OPTIONS": ({"=", "+=", ":="}, None),
    "LABEL": ({"="}, None),
    "GOTO": ({"="}, None),
}

TOKEN = re.compile(r'\s*([A-Za-z_][A-Za-z0-9_]*)(\{[^{}"]*\})?\s*(==|!=|\+=|-=|:=|=)\s*')


def parse_value(text, pos):
    """The quoted value at pos: (value, end) or (None, why)."""
    if pos >= len(text) or text[pos] != '"':
        return None, "a value must be in double quotes"
    i = pos + 1
    value = []
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            value.append(text[i:i + 2])
            i += 2
            continue
        if c == '"':
            return "".join(value), i + 1
        value.append(c)
        i += 1
    return None, "unterminated value"


def check_rule(text):
    """The faults of one rule (a logical line); also its GOTO and LABEL names."""
    faults, gotos, labels = [], [], []
    pos = 0
    tokens = 0
    while True:
        while pos < len(text) and text[pos] in " \t":
            pos += 1
        if pos >= len(text):
            break
        m = TOKEN.match(text, pos)
        if not m:
            faults.append("expected KEY OPERATOR \"value\" at: " + text[pos:pos + 30])
            return faults, gotos, labels
        key, attr, op = m.group(1), m.group(2), m.group(3)
        value, end = parse_value(text, m.end())
        if value is None:
            faults.append("%s: %s" % (key, end))
            return faults, gotos, labels
        tokens += 1
        if key not in KEYS:
            faults.append("unknown key %s" % key)
        else:
            ops, attribute = KEYS[key]
            if op not in ops:
                faults.append("%s does not take the operator %s" % (key, op))
            if attribute == "required" and not attr:
                faults.append("%s needs an attribute in braces" % key)
            if attribute is None and attr:
                faults.append("%s takes no attribute" % key)
            if key == "MODE" and "$" not in value and not re.fullmatch(r"[0-7]{3,4}", value):
                faults.append('MODE must be octal, as "0660": "%s"' % value)
            if key == "GOTO":
                gotos.append(value)
            if key == "LABEL":
                labels.append(value)
        pos = end
        while pos < len(text) and text[pos] in " \t":
            pos += 1
        if pos < len(text):
            if text[pos] != ",":
                faults.append("a comma is needed between tokens, before: " + text[pos:pos + 30])
                return faults, gotos, labels
            pos += 1
    if tokens == 0:
        faults.append("a rule without any token")
    return faults, gotos, labels


def check_lines(lines):
    """[(line number, message)] for the lines of one rules file."""
    faults, gotos, labels = [], [], set()
    rule, first = "", 0
    for number, line in enumerate(lines, 1):
        line = line.rstrip("\n")
        if not rule:
            first = number
            stripped = line.strip()
            if not stripped or stripped.startswith("#"):
                continue
        if line.endswith("\\"):
            rule += line[:-1]
            continue
        rule += line
        found, rule_gotos, rule_labels = check_rule(rule)
        faults += [(first, f) for f in found]
        gotos += [(first, g) for g in rule_gotos]
        labels.update(rule_labels)
        rule = ""
    if rule:
        faults.append((first, "the last line ends in a continuation"))
    faults += [(n, 'GOTO="%s" has no LABEL' % g) for n, g in gotos if g not in labels]
    return sorted(faults)


def main(paths):
    if not paths:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    bad = 0
    for path in paths:
        with open(path, encoding="utf-8") as f:
            for number, message in check_lines(f.readlines()):
                print("%s:%d: %s" % (path, number, message))
                bad += 1
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
