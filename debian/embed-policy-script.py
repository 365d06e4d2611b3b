#!/usr/bin/env python3
"""Writes the postrm template with scripts/browser-policy.sh put in place of the line
#BROWSER_POLICY_SCRIPT# as a here-document, so the purge can run the script after the package's
own copy of it is gone.

    embed-policy-script.py TEMPLATE SCRIPT > postrm
"""
import sys

template, script = sys.argv[1:]
body = open(script, encoding="utf-8").read()
marker = "KX_BROWSER_POLICY_SCRIPT_END"
if marker in body:
    raise SystemExit(f"{script} holds the here-document's end marker {marker}")
out = []
found = False
for line in open(template, encoding="utf-8"):
    if line.strip() == "#BROWSER_POLICY_SCRIPT#":
        indent = line[: len(line) - len(line.lstrip())]
        out.append(f"{indent}cat > \"$policy_script\" <<'{marker}'\n")
        out.append(body if body.endswith("\n") else body + "\n")
        out.append(f"{marker}\n")
        found = True
    else:
        out.append(line)
if not found:
    raise SystemExit(f"{template} has no #BROWSER_POLICY_SCRIPT# line")
sys.stdout.write("".join(out))
