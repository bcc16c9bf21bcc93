#!/usr/bin/env python3
"""The Group Policy templates against the service's own table of policy values: every policy of the
ADMX writes one value of the table, under its key, with its registry type (multiText: REG_MULTI_SZ;
an enabled/disabled policy of decimal 1 and 0, or 0 and 1 for a value that turns a thing off:
REG_DWORD, written as the table says); every value of the table has exactly one
policy; every policy is the computer's, in a category of the template; and every string, presentation
and reference resolves. The explain texts of the three lists say that they go together.

usage: policy_templates_check.py TABLE_EXPORTER ADMX ADML"""
import os
import re
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from checks import Tally  # noqa: E402

exporter, admx_path, adml_path = sys.argv[1:4]
ns = {"p": "http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions"}
tally = Tally()

table = [tuple(line.split("\t")) for line in subprocess.run([exporter], capture_output=True, text=True,
                                                             check=True).stdout.splitlines()]
tally.check("the service's table has values", len(table) > 0)
admx = ElementTree.parse(admx_path).getroot()
adml = ElementTree.parse(adml_path).getroot()

strings = {s.get("id"): s.text or "" for s in adml.iterfind("p:resources/p:stringTable/p:string", ns)}
presentations = {p.get("id"): p for p in adml.iterfind("p:resources/p:presentationTable/p:presentation", ns)}
categories = {c.get("name") for c in admx.iterfind("p:categories/p:category", ns)}
supported = {d.get("name") for d in admx.iterfind("p:supportedOn/p:definitions/p:definition", ns)}

# Every $(string.X) and $(presentation.X) anywhere in the ADMX.
for element in admx.iter():
    for attribute, value in element.attrib.items():
        for kind, name in re.findall(r"\$\((string|presentation)\.([^)]*)\)", value):
            known = strings if kind == "string" else presentations
            tally.check(f"{element.tag.split('}')[1]} {attribute}: {kind} {name} is in the ADML", name in known)


def written_values(policy):
    """(key, value name, registry type) of every value the policy writes."""
    key = policy.get("key")
    values = []
    for element in policy.iterfind("p:elements/*", ns):
        kind = "REG_MULTI_SZ" if element.tag == f"{{{ns['p']}}}multiText" else "unknown " + element.tag
        values.append((element.get("key", key), element.get("valueName"), kind, ""))
    if policy.get("valueName"):
        on = policy.find("p:enabledValue/p:decimal", ns)
        off = policy.find("p:disabledValue/p:decimal", ns)
        pair = (on.get("value"), off.get("value")) if on is not None and off is not None else None
        switch = pair in (("1", "0"), ("0", "1"))
        values.append((key, policy.get("valueName"), "REG_DWORD" if switch else "not 1 and 0",
                       " ".join(pair) if switch else ""))
    return values


written = []
for policy in admx.iterfind("p:policies/p:policy", ns):
    name = policy.get("name")
    tally.check(f"{name}: a computer policy", policy.get("class") == "Machine", policy.get("class"))
    parent = policy.find("p:parentCategory", ns)
    tally.check(f"{name}: in a category of the template", parent is not None and parent.get("ref") in categories)
    support = policy.find("p:supportedOn", ns)
    tally.check(f"{name}: its supportedOn is defined", support is not None and support.get("ref") in supported)
    values = written_values(policy)
    tally.check(f"{name}: writes one value, which is in the service's table", len(values) == 1 and values[0] in table,
                values)
    written += values
    element_ids = sorted(e.get("id") for e in policy.iterfind("p:elements/*", ns))
    if policy.get("presentation"):
        shown = presentations.get(policy.get("presentation")[len("$(presentation."):-1])
        boxes = sorted(b.get("refId") for b in shown) if shown is not None else None
        tally.check(f"{name}: its presentation shows each of its elements", boxes == element_ids, boxes)
    else:
        tally.check(f"{name}: has no elements to present", element_ids == [], element_ids)

for value in table:
    tally.check(f"{value[1]} ({value[2]}): exactly one policy writes it", written.count(value) == 1, written)

for name in ("OpenVpnPrograms", "ConfigDirectories", "LogDirectories"):
    tally.check(f"{name}: the explain text says all three lists or none",
                "All three lists or none" in strings.get(name + "_Explain", ""))

sys.exit(tally.finish())
