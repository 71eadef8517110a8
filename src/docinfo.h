// docinfo.h: what a document says about itself: metadata text and dates as the /Info
// dictionary and the XMP packet write them, the trailer /ID, the archival (PDF/A) level
// and the sRGB profile an archival document names as its output intent.
//
// Everything here is off unless asked for: a document with no DocInfo keys set carries
// none of it, so its bytes stay as they always were. Nothing reads the clock or the
// environment except doc_date_parse given "now", once, when a setting is made.
#ifndef FOLIAN_DOCINFO_H
#define FOLIAN_DOCINFO_H

#include <cstddef>
#include <cstdint>
#include <string>

// ---- Text --------------------------------------------------------------------------------
// Metadata text is UTF-8 that XML can hold: well-formed (no overlong forms, surrogates or
// code points past U+10FFFF) and free of the control characters and non-characters XML 1.0
// cannot carry (tab, line feed and carriage return are allowed). Null when acceptable,
// else the reason ("invalid UTF-8", "control character").
const char *doc_text_problem(const char *utf8);
// Appends the text as a PDF string: a literal "(...)" with ( ) \ escaped when every byte is
// printable ASCII, else "<FEFF...>", UTF-16BE with its byte-order mark (code points past
// U+FFFF as surrogate pairs). The text must have passed doc_text_problem.
void pdf_text_string(const char *utf8, std::string *out);

// ---- Dates -------------------------------------------------------------------------------
// A moment as written: the local time of day and its offset from UTC in minutes (east
// positive). A zone-less input is taken as UTC, so every date is written with an offset.
struct DocDate {
    bool set;  // false: no date (nothing else is read)
    int year, month, day, hour, minute, second;
    int offset_minutes;
};
// ISO 8601: "YYYY-MM-DD", optionally followed by "T" (or a space) and "hh:mm", ":ss",
// a fraction of a second (dropped) and a zone "Z", "+hh:mm", "+hhmm" or "+hh"; or "now",
// which is the time in SOURCE_DATE_EPOCH when that is set (seconds since 1970, UTC), else
// the clock's. Null when parsed (and `set`), else the reason.
const char *doc_date_parse(const char *text, DocDate *out);
// Seconds since 1970-01-01T00:00:00Z as a UTC date; false outside years 1970 to 9999.
bool doc_date_from_epoch(int64_t seconds, DocDate *out);
// "D:YYYYMMDDHHmmSS+HH'mm'" (the /Info form) and "YYYY-MM-DDThh:mm:ss+hh:mm" (the XMP
// form), each with its terminating NUL in `out`.
constexpr size_t DOC_DATE_TEXT = 32;
void doc_date_pdf(const DocDate &d, char out[DOC_DATE_TEXT]);
void doc_date_iso(const DocDate &d, char out[DOC_DATE_TEXT]);

// ---- The document's description ----------------------------------------------------------
enum DocPdfa { DOC_PDFA_OFF = 0, DOC_PDFA_1B = 1, DOC_PDFA_2B = 2 };
// "off", "2b" or "1b" (any case); -1 for anything else.
int doc_pdfa_parse(const char *text);

// Texts are UTF-8 that passed doc_text_problem, not owned; null or "" for none.
struct DocInfo {
    const char *title, *author, *subject, *keywords, *creator, *producer;
    DocDate created, modified;
    int pdfa;  // DocPdfa
};
// Whether the document carries /Info, XMP and /ID: some text or date is set, or a PDF/A
// level (which needs the XMP to claim it).
bool doc_info_any(const DocInfo *info);
// The /Info dictionary "<< /Title ... >>", only the entries that are set.
void doc_info_dictionary(const DocInfo &info, std::string *out);
// The XMP packet: each value equal to its /Info entry (dc:title, dc:creator,
// dc:description, pdf:Keywords, xmp:CreatorTool, pdf:Producer, xmp:CreateDate,
// xmp:ModifyDate), xmp:MetadataDate (the modification date, else the creation date), and
// pdfaid:part and pdfaid:conformance for an archival document.
void doc_xmp_packet(const DocInfo &info, std::string *out);

// ---- Identity ------------------------------------------------------------------------------
// The trailer entry "/ID [<hex> <hex>]" from a 16-byte digest of the document's content:
// both halves equal, as for any file written fresh, so the same content gives the same bytes.
constexpr size_t DOC_ID_TEXT = 80;
void doc_id_entry(const uint8_t digest[16], char out[DOC_ID_TEXT]);

// ---- Output intent profile -----------------------------------------------------------------
// The profile's description, which also names the output condition it stands for.
constexpr char DOC_SRGB_NAME[] = "sRGB IEC61966-2.1";
// The sRGB profile (ICC version 2.1, display class, matrix and tone curves) computed from
// the sRGB primaries, the D65 white adapted to the D50 connection space by the Bradford
// transform, and the sRGB transfer curve. Same bytes on every call.
void doc_srgb_profile(std::string *out);

#endif
