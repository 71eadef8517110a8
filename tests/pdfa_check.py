#!/usr/bin/env python3
"""Structural archival (PDF/A level B) checks of one PDF, written from the standard's
clauses: prints "<check> ok" or "<check> FAIL: <why>" for each, one line apiece.

usage: pdfa_check.py FILE PART   (PART: 1 or 2)
"""
import re
import sys
import xml.etree.ElementTree as ET

import pikepdf

NS = {
    "rdf": "http://www.w3.org/1999/02/22-rdf-syntax-ns#",
    "dc": "http://purl.org/dc/elements/1.1/",
    "xmp": "http://ns.adobe.com/xap/1.0/",
    "pdf": "http://ns.adobe.com/pdf/1.3/",
    "pdfaid": "http://www.aiim.org/pdfa/ns/id/",
}
ALLOWED_SPACES = {"/DeviceRGB", "/DeviceGray"}


def raw_objects(raw):
    """(number, offset) of every in-use entry of the cross-reference table."""
    xref = int(raw[raw.rindex(b"startxref") + 10:].split()[0])
    head = raw[xref:xref + 64].split(b"\n")
    first, count = int(head[1].split()[0]), int(head[1].split()[1])
    at = xref + len(head[0]) + len(head[1]) + 2
    out = []
    for i in range(count):
        entry = raw[at + 20 * i:at + 20 * i + 20]
        if entry[17:18] == b"n":
            out.append((first + i, int(entry[:10])))
    return out


def check_header(raw, pdf, part):
    if not re.match(rb"%PDF-1\.[0-7]\r?\n", raw):
        return "no %PDF-1.n header line"
    second = raw[raw.index(b"\n") + 1:]
    if second[:1] != b"%" or any(b < 128 for b in second[1:5]):
        return "second line is not a comment of four bytes of 128 or more"


def check_trailer_id(raw, pdf, part):
    ident = pdf.trailer.get("/ID")
    if ident is None or len(ident) != 2 or any(len(bytes(x)) != 16 for x in ident):
        return "trailer /ID is not two 16-byte strings"


def check_no_encryption(raw, pdf, part):
    if "/Encrypt" in pdf.trailer:
        return "trailer has /Encrypt"


def xmp_root(pdf):
    meta = pdf.Root.get("/Metadata")
    if meta is None:
        return None, "catalog has no /Metadata"
    if meta.get("/Type") != "/Metadata" or meta.get("/Subtype") != "/XML":
        return None, "metadata stream is not /Type /Metadata /Subtype /XML"
    if "/Filter" in meta:
        return None, "metadata stream is filtered"
    return ET.fromstring(meta.read_bytes()), None


def check_xmp_identification(raw, pdf, part):
    root, why = xmp_root(pdf)
    if why:
        return why
    got = (root.findtext(".//pdfaid:part", namespaces=NS), root.findtext(".//pdfaid:conformance", namespaces=NS))
    if got != (part, "B"):
        return "pdfaid part/conformance are %s" % (got,)


def iso_of_pdf_date(d):
    m = re.fullmatch(r"D:(\d{4})(\d\d)(\d\d)(\d\d)(\d\d)(\d\d)([+-])(\d\d)'(\d\d)", d)
    return m and "%s-%s-%sT%s:%s:%s%s%s:%s" % m.groups()


def check_xmp_matches_info(raw, pdf, part):
    root, why = xmp_root(pdf)
    if why:
        return why
    pairs = {"/Title": ".//dc:title//rdf:li", "/Author": ".//dc:creator//rdf:li",
             "/Subject": ".//dc:description//rdf:li", "/Keywords": ".//pdf:Keywords",
             "/Creator": ".//xmp:CreatorTool", "/Producer": ".//pdf:Producer",
             "/CreationDate": ".//xmp:CreateDate", "/ModDate": ".//xmp:ModifyDate"}
    info = pdf.trailer.get("/Info") or {}
    for key, path in pairs.items():
        want = str(info[key]) if key in info else None
        if want and key.endswith("Date"):
            want = iso_of_pdf_date(want)
        have = root.findtext(path, namespaces=NS)
        if want != have:
            return "%s is %r in /Info and %r in XMP" % (key, want, have)


def check_output_intent(raw, pdf, part):
    intents = [i for i in pdf.Root.get("/OutputIntents", []) if i.get("/S") == "/GTS_PDFA1"]
    if len(intents) != 1:
        return "not exactly one /GTS_PDFA1 output intent"
    profile = intents[0].get("/DestOutputProfile")
    data = profile.read_bytes() if profile is not None else b""
    if len(data) < 128 or data[36:40] != b"acsp" or data[16:20] != b"RGB " or int(profile.get("/N", 0)) != 3:
        return "/DestOutputProfile is not an RGB ICC profile with /N 3"
    if data[8] != 2:
        return "output profile is ICC version %d, not 2" % data[8]


def images(pdf):
    for obj in pdf.objects:
        if isinstance(obj, pikepdf.Stream) and obj.get("/Subtype") == "/Image":
            yield obj


def check_no_lzw(raw, pdf, part):
    for obj in pdf.objects:
        if isinstance(obj, pikepdf.Stream):
            f = obj.get("/Filter")
            names = [str(x) for x in f] if isinstance(f, pikepdf.Array) else [str(f)] if f is not None else []
            if "/LZWDecode" in names:
                return "an LZWDecode stream"


def check_no_interpolate(raw, pdf, part):
    if any(bool(im.get("/Interpolate", False)) for im in images(pdf)):
        return "an image with /Interpolate true"


def space_allowed(cs):
    if isinstance(cs, pikepdf.Name):
        return str(cs) in ALLOWED_SPACES
    if str(cs[0]) == "/ICCBased":
        return True
    return str(cs[0]) == "/Indexed" and space_allowed(cs[1])


def check_image_colour_spaces(raw, pdf, part):
    for im in images(pdf):
        if not space_allowed(im.ColorSpace):
            return "image colour space %s" % im.ColorSpace


def check_icc_versions(raw, pdf, part):
    top = 2 if part == "1" else 4
    for im in images(pdf):
        cs = im.ColorSpace
        if isinstance(cs, pikepdf.Array) and str(cs[0]) == "/Indexed":
            cs = cs[1]
        if isinstance(cs, pikepdf.Array) and str(cs[0]) == "/ICCBased" and cs[1].read_bytes()[8] > top:
            return "ICC profile of version %d" % cs[1].read_bytes()[8]


def check_stream_lengths(raw, pdf, part):
    for num, off in raw_objects(raw):
        body = raw[off:off + 4096]
        at = body.find(b">>\nstream")
        if at < 0 or b"endobj" in body[:at]:
            continue
        length = int(re.search(rb"/Length (\d+)", body[:at]).group(1))
        start = off + at + len(b">>\nstream\n")
        if not re.match(rb"\r?\nendstream", raw[start + length:start + length + 12]):
            return "object %d: /Length %d is not followed by an end of line and endstream" % (num, length)


def check_no_transparency(raw, pdf, part):
    if part != "1":
        return None
    if any("/SMask" in im for im in images(pdf)):
        return "an image with /SMask"
    if any(p.get("/Group") is not None for p in pdf.pages):
        return "a page with a transparency group"


CHECKS = [check_header, check_trailer_id, check_no_encryption, check_xmp_identification, check_xmp_matches_info,
          check_output_intent, check_no_lzw, check_no_interpolate, check_image_colour_spaces, check_icc_versions,
          check_stream_lengths, check_no_transparency]


def main():
    path, part = sys.argv[1], sys.argv[2]
    raw = open(path, "rb").read()
    with pikepdf.open(path) as pdf:
        for check in CHECKS:
            name = check.__name__[len("check_"):].replace("_", "-")
            try:
                why = check(raw, pdf, part)
            except Exception as e:  # a check that cannot run fails, with what broke it
                why = "%s: %s" % (type(e).__name__, e)
            print(name, "ok" if why is None else "FAIL: " + why)


main()
