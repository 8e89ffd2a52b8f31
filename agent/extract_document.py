# Document extraction: turns one document into text for a language model and writes its findings as JSON.
#
#   python3 -I extract_document.py PATH KIND OUT
#
# KIND is docx, pptx, xlsx, odt, ods, odp, pdf, image or media. OUT receives one compact JSON object, UTF-8 without
# a byte-order mark: "kind", "text", "note" and, by kind, "pages", "width", "height", "duration_s"; a failure is the
# member "error" (the members already set stay). The exit code means nothing; nothing is printed on purpose.
# OCR of a PDF renders its pages into the folder named like OUT with ".pages" in place of ".json" and removes it;
# the caller removes it too, in case this run was stopped on the way.
#
# Uses the standard library, PIL for pictures, poppler-utils (pdfinfo, pdftoppm), tesseract and ffprobe. Every
# program is started from an argument list, never through a shell.

import html.entities
import io
import json
import os
import re
import shutil
import subprocess
import sys
import unicodedata
import xml.etree.ElementTree as ElementTree
import zipfile
import zlib
from collections import Counter
from decimal import Decimal, ROUND_HALF_EVEN

MAX_TEXT = 400000            # UTF-16 units
MAX_ROWS = 5000              # rows per spreadsheet sheet
MAX_OCR_PAGES = 40           # PDF pages read with OCR
PDF_RENDER_WIDTH = 1700      # pixels
PDF_DICT_WINDOW = 3000       # characters searched for a stream's dictionary
MAX_OCR_DIMENSION = 10000    # larger pictures are scaled down before OCR
MAX_ENTRY_BYTES = 100 << 20  # an archive entry declaring more is skipped (a zip bomb, not a document)
MAX_INFLATED_BYTES = 64 << 20  # output kept of one inflated PDF stream

# White space as the PDF heuristics count it, over text read one character per byte.
WS = "[\t\n\x0b\x0c\r \x85\xa0]"
WS_CHARS = "\t\n\x0b\x0c\r \x85\xa0"


# ---------------------------------------------------------------------------------------------------------------
# Shared steps

def utf16_length(text):
    if text.isascii():
        return len(text)
    return len(text) + sum(1 for c in text if ord(c) > 0xFFFF)


def clip(text):
    """The first MAX_TEXT UTF-16 units and a cut mark, never splitting a surrogate pair."""
    if len(text) <= MAX_TEXT // 2 or utf16_length(text) <= MAX_TEXT:
        return text
    units = 0
    end = 0
    for end, c in enumerate(text):
        width = 2 if ord(c) > 0xFFFF else 1
        if units + width > MAX_TEXT:
            break
        units += width
    return text[:end] + "\n[... cut]"


ENTITY = re.compile(r"&(#[0-9]+|#[xX][0-9a-fA-F]+|[A-Za-z][A-Za-z0-9]*);")


def decode_entities(text):
    """Character references and named entities that end with ';'; anything else stays as written."""
    def one(match):
        name = match.group(1)
        if name[0] == "#":
            try:
                code = int(name[2:], 16) if name[1] in "xX" else int(name[1:])
            except ValueError:
                return match.group(0)
            if code == 0 or 0xD800 <= code <= 0xDFFF or code > 0x10FFFF:
                return "\ufffd"
            return chr(code)
        value = html.entities.html5.get(name + ";")
        return value if value is not None else match.group(0)
    return ENTITY.sub(one, text)


# Markup to text, pass by pass: paragraph ends and line breaks ("</w:p>|</a:p>|</text:p>|</text:h>|<w:br[^>]*/>|
# <text:line-break/>", any letter case) become line feeds, then tab marks ("<w:tab/>|<text:tab/>") tabs, then every
# other tag ("<[^>]+>") goes. Every such tag holds one ">", its last character, so each pass looks at the pieces
# that a ">" ends, one at a time: the same result as a pattern search, in linear time even for markup made to
# make a pattern search retry every "<" over the rest of the text.
LINE_END = re.compile(r"(?:</w:p|</a:p|</text:p|</text:h|<text:line-break/)\Z", re.IGNORECASE)
LINE_BREAK = re.compile(r"<w:br", re.IGNORECASE)
TAB_END = re.compile(r"(?:<w:tab/|<text:tab/)\Z", re.IGNORECASE)
BLANK_LINES = re.compile(r"\n{3,}")


def each_tag(text, replace):
    """replace(piece) for each piece of text that a ">" ends (the piece without it); the rest stays."""
    pieces = text.split(">")
    return "".join(replace(piece) for piece in pieces[:-1]) + pieces[-1]


def line_end_tag(piece):
    starts = []
    end = LINE_END.search(piece)
    if end:
        starts.append(end.start())
    if piece.endswith("/"):
        brk = LINE_BREAK.search(piece)
        if brk:
            starts.append(brk.start())
    return piece[:min(starts)] + "\n" if starts else piece + ">"


def tab_tag(piece):
    tab = TAB_END.search(piece)
    return piece[:tab.start()] + "\t" if tab else piece + ">"


def no_tag(piece):
    start = piece.find("<")
    return piece[:start] if 0 <= start < len(piece) - 1 else piece + ">"


def xml_text(markup):
    """Markup to text: paragraph ends and breaks become line feeds, tab marks tabs, other tags vanish."""
    if not markup:
        return ""
    text = each_tag(markup, line_end_tag)
    text = each_tag(text, tab_tag)
    text = each_tag(text, no_tag)
    text = decode_entities(text)
    text = BLANK_LINES.sub("\n\n", text)
    return text.strip()


def entry_bytes(archive, info):
    """The entry's bytes, or None when it declares (or turns out to hold) more than MAX_ENTRY_BYTES."""
    if info.file_size > MAX_ENTRY_BYTES:
        return None
    with archive.open(info) as stream:
        data = stream.read(MAX_ENTRY_BYTES + 1)
    return None if len(data) > MAX_ENTRY_BYTES else data


def find_entry(archive, name):
    for info in archive.infolist():
        if info.filename == name:
            return info
    return None


def entry_text(archive, name):
    """The entry named exactly `name`, read as UTF-8 (a byte-order mark is honoured); None when absent."""
    info = find_entry(archive, name)
    if info is None:
        return None
    data = entry_bytes(archive, info)
    return None if data is None else data.decode("utf-8-sig", errors="replace")


NUM = re.compile(r"(\d+)\.xml$")


def entry_number(name):
    match = NUM.search(name)
    return int(match.group(1)) if match else 0


def entries_matching(archive, pattern):
    """Entries whose full name matches `pattern`, sorted by the number before ".xml"."""
    found = [info for info in archive.infolist() if pattern.search(info.filename)]
    return sorted(found, key=lambda info: entry_number(info.filename))


def local_name(tag):
    return tag.rsplit("}", 1)[-1] if isinstance(tag, str) else ""


def inner_text(element):
    return "".join(element.itertext())


# ---------------------------------------------------------------------------------------------------------------
# OCR with tesseract

# Language codes of the locale (ISO 639-1, or a language_TERRITORY pair) and tesseract's names for them.
TESSERACT_LANGUAGES = {
    "af": "afr", "ar": "ara", "az": "aze", "be": "bel", "bg": "bul", "bn": "ben", "bs": "bos", "ca": "cat",
    "cs": "ces", "cy": "cym", "da": "dan", "de": "deu", "el": "ell", "en": "eng", "eo": "epo", "es": "spa",
    "et": "est", "eu": "eus", "fa": "fas", "fi": "fin", "fr": "fra", "ga": "gle", "gl": "glg", "gu": "guj",
    "he": "heb", "hi": "hin", "hr": "hrv", "hu": "hun", "hy": "hye", "id": "ind", "is": "isl", "it": "ita",
    "ja": "jpn", "ka": "kat", "kk": "kaz", "km": "khm", "kn": "kan", "ko": "kor", "lo": "lao", "lt": "lit",
    "lv": "lav", "mk": "mkd", "ml": "mal", "mn": "mon", "mr": "mar", "ms": "msa", "mt": "mlt", "my": "mya",
    "nb": "nor", "ne": "nep", "nl": "nld", "nn": "nor", "no": "nor", "pa": "pan", "pl": "pol", "pt": "por",
    "ro": "ron", "ru": "rus", "si": "sin", "sk": "slk", "sl": "slv", "sq": "sqi", "sr": "srp", "sv": "swe",
    "sw": "swa", "ta": "tam", "te": "tel", "th": "tha", "tl": "tgl", "tr": "tur", "uk": "ukr", "ur": "urd",
    "uz": "uzb", "vi": "vie", "zh_cn": "chi_sim", "zh_sg": "chi_sim", "zh_tw": "chi_tra", "zh_hk": "chi_tra",
    "zh": "chi_sim",
}


def program(name):
    return shutil.which(name, path=os.environ.get("PATH") or "/usr/local/bin:/usr/bin:/bin")


def run_program(argv, data=None):
    """Runs a program from an argument list; returns (exit code, stdout bytes, stderr bytes)."""
    done = subprocess.run(argv, input=data, stdin=None if data is not None else subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, close_fds=True)
    return done.returncode, done.stdout, done.stderr


def user_languages():
    wanted = []
    for variable in ("LANGUAGE", "LANG"):
        for item in os.environ.get(variable, "").split(":"):
            code = item.split(".", 1)[0].split("@", 1)[0].lower().replace("-", "_")
            if code and code not in ("c", "posix"):
                wanted.append(code)
    return wanted


def ocr_engine():
    """The tesseract program and the language to read with: the first of the user's languages that is installed,
    else English; None when tesseract or every such language is missing."""
    tesseract = program("tesseract")
    if tesseract is None:
        return None
    code, out, _ = run_program([tesseract, "--list-langs"])
    if code != 0:
        return None
    # A heading line, then one language name per line.
    installed = set(line.strip() for line in out.decode("utf-8", errors="replace").splitlines()[1:])
    installed.discard("osd")
    for wanted in user_languages():
        for key in (wanted, wanted.split("_", 1)[0]):
            name = TESSERACT_LANGUAGES.get(key)
            if name in installed:
                return tesseract, name
    if "eng" in installed:
        return tesseract, "eng"
    return None


def run_tesseract(engine, source, data):
    """Tesseract's plain-text output for `source` ("stdin" with `data`, a picture, or a list file of pictures):
    each picture's lines followed by a form feed."""
    tesseract, language = engine
    # One thread per run: OpenMP's threads fight each other and every other process on a busy machine.
    environment = dict(os.environ, OMP_THREAD_LIMIT="1")
    done = subprocess.run([tesseract, source, "stdout", "-l", language], input=data,
                          stdin=None if data is not None else subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=environment, close_fds=True)
    if done.returncode != 0:
        raise RuntimeError("OCR failed: " + last_line(done.stderr))
    return done.stdout.decode("utf-8", errors="replace")


def ocr_lines(text):
    """The recognised lines, blank ones left out, joined by line feeds."""
    return "\n".join(line for line in text.splitlines() if line.strip())


def ocr_picture(engine, picture_bytes):
    return ocr_lines(run_tesseract(engine, "stdin", picture_bytes).replace("\f", "\n"))


# ---------------------------------------------------------------------------------------------------------------
# Kinds

def extract_office(result, path, kind):
    with zipfile.ZipFile(path) as archive:
        if kind == "docx":
            notes = re.compile(r"^word/(footnotes|endnotes)\.xml$", re.IGNORECASE)
            parts = [entry_text(archive, "word/document.xml") or ""]
            for info in archive.infolist():
                if notes.search(info.filename):
                    data = entry_bytes(archive, info)
                    if data is not None:
                        parts.append(data.decode("utf-8-sig", errors="replace"))
            result["text"] = xml_text("".join(parts))
        elif kind == "pptx":
            slides = entries_matching(archive, re.compile(r"^ppt/slides/slide\d+\.xml$", re.IGNORECASE))
            result["pages"] = len(slides)
            texts = []
            for info in slides:
                data = entry_bytes(archive, info)
                markup = data.decode("utf-8-sig", errors="replace") if data is not None else ""
                texts.append("--- Slide %d ---\n%s" % (entry_number(info.filename), xml_text(markup)))
            result["text"] = "\n\n".join(texts)
        elif kind == "xlsx":
            extract_workbook(result, archive)
        else:
            result["text"] = xml_text(entry_text(archive, "content.xml") or "")


def parse_entry(archive, name):
    info = find_entry(archive, name)
    data = entry_bytes(archive, info) if info is not None else None
    return ElementTree.fromstring(data) if data else None


def column_number(reference):
    number = 0
    for c in reference:
        if not "A" <= c <= "Z":
            break
        number = number * 26 + ord(c) - ord("A") + 1
    return number


def cell_value(cell, shared):
    kind = cell.get("t")
    if kind == "inlineStr":
        for child in cell:
            if local_name(child.tag) == "is":
                return inner_text(child)
        return ""
    value = ""
    for child in cell:
        if local_name(child.tag) == "v":
            value = child.text or ""
            break
    if kind == "s":
        index = int(value)
        return shared[index] if 0 <= index < len(shared) else ""
    return value


def sheet_lines(archive, info, shared, lines):
    """Appends one tab-joined line per row of the sheet's data, at most MAX_ROWS of them."""
    data = entry_bytes(archive, info)
    if data is None:
        return
    rows = 0
    in_data = False
    for event, element in ElementTree.iterparse(io.BytesIO(data), events=("start", "end")):
        name = local_name(element.tag)
        if event == "start":
            if name == "sheetData":
                in_data = True
            continue
        if name == "sheetData":
            in_data = False
        elif name == "row" and in_data:
            rows += 1
            if rows > MAX_ROWS:
                lines.append("[... more rows]")
                return
            cells = {}
            last = 0
            for cell in element:
                if local_name(cell.tag) != "c":
                    continue
                reference = cell.get("r")
                # A cell may leave out its reference: it then follows the cell before it.
                column = column_number(reference) if reference is not None else last + 1
                last = column
                cells[column] = cell_value(cell, shared)
            width = max([1] + list(cells))
            lines.append("\t".join(cells.get(c, "") for c in range(1, width + 1)))
            element.clear()


def extract_workbook(result, archive):
    shared = []
    strings = parse_entry(archive, "xl/sharedStrings.xml")
    if strings is not None:
        shared = [inner_text(e) for e in strings.iter() if local_name(e.tag) == "si"]
    names = []
    book = parse_entry(archive, "xl/workbook.xml")
    if book is not None:
        names = [e.get("name", "") for e in book.iter() if local_name(e.tag) == "sheet"]
    sheets = entries_matching(archive, re.compile(r"^xl/worksheets/sheet\d+\.xml$", re.IGNORECASE))
    lines = []
    for i, info in enumerate(sheets):
        name = names[i] if i < len(names) else "Sheet%d" % (i + 1)
        lines.append("--- Sheet: %s ---" % name)
        sheet_lines(archive, info, shared, lines)
    result["text"] = "".join(line + "\r\n" for line in lines)
    result["pages"] = len(sheets)


# The scanners below find exactly what these patterns would find with a regex search, in time linear in the input
# (a lazy pattern retried at every start is quadratic, and a hostile PDF can make it run for many minutes):
#   a stream:       obj\s*<<((?:(?!endobj).){0,3000}?)>>\s*stream\r?\n          (. matching line ends too)
#   a text object:  BT(.*?)ET                                                   (. matching line ends too)
#   a text token:   \((?:\\.|[^\\)])*\)|T\*|Td|TD|'
STREAM_HEAD = re.compile(r"obj" + WS + r"*<<")
STREAM_TAIL = re.compile(WS + r"*stream\r?\n")
TOKEN_START = re.compile(r"\(|T\*|Td|TD|'")
STRING_BODY = re.compile(r"(?:\\.|[^\\)])*")
ESCAPE_N = re.compile(r"\\n", re.IGNORECASE)
ESCAPE_R = re.compile(r"\\r", re.IGNORECASE)
ESCAPE_T = re.compile(r"\\t", re.IGNORECASE)
ESCAPE_OCTAL = re.compile(r"\\([0-7]{1,3})")
ESCAPE_OTHER = re.compile(r"\\(.)")
BLANKS = re.compile(r"[ \t]+")
BLANK_AT_BREAK = re.compile(r" ?\n ?")
PAGE = re.compile(r"/Type" + WS + r"*/Page[^s]")


def streams(raw):
    """(dictionary, data) of each stream whose dictionary is found within PDF_DICT_WINDOW characters, not crossing
    "endobj", and that is ended by "endstream"."""
    position = 0
    while True:
        head = STREAM_HEAD.search(raw, position)
        if head is None:
            return
        start = head.end()
        # The dictionary may not hold the start of "endobj" and may not be longer than the window.
        last = start + PDF_DICT_WINDOW
        blocked = raw.find("endobj", start, last + len("endobj"))
        if blocked >= 0:
            last = min(last, blocked)
        position = head.start() + 1
        close = raw.find(">>", start, last + 2)
        while close >= 0:
            tail = STREAM_TAIL.match(raw, close + 2)
            if tail:
                position = tail.end()
                end = raw.find("endstream", position)
                if end >= 0:
                    yield raw[start:close], raw[position:end]
                break
            close = raw.find(">>", close + 1, last + 2)


def text_objects(content):
    position = 0
    while True:
        begin = content.find("BT", position)
        end = content.find("ET", begin + 2) if begin >= 0 else -1
        if end < 0:
            return
        yield content[begin + 2:end]
        position = end + 2


def text_tokens(text):
    """Literal strings in parentheses and the operators T*, Td, TD and ' in order."""
    position = 0
    dead_end = -1  # an opening parenthesis before this point finds no closing one (see below)
    while True:
        match = TOKEN_START.search(text, position)
        if match is None:
            return
        token = match.group(0)
        if token != "(":
            yield token
            position = match.end()
            continue
        start = match.start()
        position = start + 1
        if start < dead_end:
            continue
        end = STRING_BODY.match(text, position).end()
        if end < len(text) and text[end] == ")":
            yield text[start:end + 1]
            position = end + 1
        else:
            # The scan from here stopped at `end`; the scan from any later "(" before `end` joins it and stops there
            # too, so none of them can be a string.
            dead_end = end


def inflate(data):
    decoder = zlib.decompressobj(-15)
    return decoder.decompress(data, MAX_INFLATED_BYTES)


def literal_text(token):
    inner = token[1:-1]
    inner = ESCAPE_N.sub("\n", inner)
    inner = ESCAPE_R.sub("", inner)
    inner = ESCAPE_T.sub("\t", inner)
    inner = ESCAPE_OCTAL.sub(lambda m: chr(int(m.group(1), 8)), inner)
    return ESCAPE_OTHER.sub(lambda m: m.group(1), inner)


def pdf_text(raw):
    """Text drawn by the PDF's own content streams: literal strings of its text objects, one line per object."""
    out = []
    for dictionary, data in streams(raw):
        lowered = dictionary.lower()
        if "/flatedecode" in lowered:
            try:
                content = inflate(data[2:].encode("latin-1")).decode("latin-1")
            except zlib.error:
                continue
        elif "/filter" not in lowered:
            content = data
        else:
            continue
        if "bt" not in content.lower():
            continue
        for text_object in text_objects(content):
            line = ""
            for token in text_tokens(text_object):
                if token[0] == "(":
                    line += literal_text(token)
                elif line and not line.endswith("\n"):
                    line += "\n"
            if line:
                line = BLANKS.sub(" ", line)
                line = BLANK_AT_BREAK.sub("\n", line)
                out.append(line.strip(WS_CHARS) + "\r\n")
    return "".join(out)


def count_letters(text):
    return sum(n for c, n in Counter(text).items() if unicodedata.category(c)[0] in "LN")


def extract_pdf(result, path, work_folder):
    with open(path, "rb") as stream:
        raw = stream.read().decode("latin-1")
    text = pdf_text(raw)
    letters = count_letters(text)
    pages = len(PAGE.findall(raw))
    del raw
    if pages:
        result["pages"] = pages
    if letters >= max(20, 10 * max(1, pages)) and letters / max(1, utf16_length(text)) > 0.5:
        result["text"] = text
        result["note"] = "text taken from the PDF"
        return
    engine = ocr_engine()
    if engine is None:
        result["text"] = text
        result["note"] = ("this PDF has little readable text and OCR is not available "
                          "(install tesseract-ocr and a language pack for it)")
        return
    count = pdf_page_count(path)
    result["pages"] = count
    n = min(count, MAX_OCR_PAGES)
    texts = ocr_pdf_pages(engine, path, n, work_folder) if n else []
    result["text"] = "".join("--- Page %d ---\r\n%s\r\n" % (i + 1, text) for i, text in enumerate(texts))
    result["note"] = "scanned PDF: read with OCR (%d of %d pages); check names and numbers" % (n, count)


def ocr_pdf_pages(engine, path, n, work_folder):
    """The OCR text of pages 1 to n: rendered 1700 pixels wide into the work folder, read by one tesseract run
    (which loads its language model once, not once per page)."""
    os.mkdir(work_folder, 0o700)
    try:
        prefix = os.path.join(work_folder, "page")
        code, _, err = run_program([program("pdftoppm") or "pdftoppm", "-f", "1", "-l", str(n), "-gray", "-png",
                                    "-scale-to-x", str(PDF_RENDER_WIDTH), "-scale-to-y", "-1", path, prefix])
        pictures = sorted((name for name in os.listdir(work_folder) if name.endswith(".png")),
                          key=lambda name: int(re.search(r"(\d+)\.png$", name).group(1)))
        if code != 0 or len(pictures) != n:
            raise RuntimeError("cannot render the PDF's pages: " + last_line(err))
        listing = os.path.join(work_folder, "pages.txt")
        with open(listing, "w", encoding="utf-8") as stream:
            stream.write("".join(os.path.join(work_folder, name) + "\n" for name in pictures))
        pages = run_tesseract(engine, listing, None).split("\f")
        if len(pages) < n:
            raise RuntimeError("OCR failed: tesseract read %d of %d pages" % (len(pages) - 1, n))
        return [ocr_lines(page) for page in pages[:n]]
    finally:
        shutil.rmtree(work_folder, ignore_errors=True)


def last_line(data):
    lines = [line for line in data.decode("utf-8", errors="replace").splitlines() if line.strip()]
    return lines[-1].strip() if lines else "no reason given"


def pdf_page_count(path):
    pdfinfo = program("pdfinfo") or "pdfinfo"
    code, out, err = run_program([pdfinfo, path])
    if code == 0:
        for line in out.decode("utf-8", errors="replace").splitlines():
            if line.startswith("Pages:"):
                return int(line[6:].strip())
    raise RuntimeError("cannot open the PDF: " + last_line(err))


def extract_image(result, path):
    from PIL import Image, ImageOps

    engine = ocr_engine()
    with Image.open(path) as picture:
        result["width"], result["height"] = picture.size  # as stored, before any EXIF rotation
        text = None
        if engine is not None:
            upright = ImageOps.exif_transpose(picture)
            if upright.mode in ("RGBA", "LA", "PA") or (upright.mode == "P" and "transparency" in upright.info):
                rgba = upright.convert("RGBA")
                upright = Image.new("RGB", rgba.size, (255, 255, 255))
                upright.paste(rgba, mask=rgba.getchannel("A"))
            elif upright.mode not in ("RGB", "L"):
                upright = upright.convert("RGB")
            width, height = upright.size
            if width > MAX_OCR_DIMENSION or height > MAX_OCR_DIMENSION:
                scale = min(MAX_OCR_DIMENSION / width, MAX_OCR_DIMENSION / height)
                upright = upright.resize((max(1, round(width * scale)), max(1, round(height * scale))))
            encoded = io.BytesIO()
            upright.save(encoded, format="PNG")
            text = ocr_picture(engine, encoded.getvalue())
    if text is None:
        result["note"] = "OCR is not available, so the words in the picture could not be read"
    elif text.strip():
        result["text"] = text
        result["note"] = "words read from the picture with OCR; the model cannot see the picture itself"
    else:
        result["note"] = ("no words found in the picture; the model cannot see pictures, "
                          "so ask the user to describe it if it matters")


def extract_media(result, path):
    ffprobe = program("ffprobe")
    if ffprobe is None:
        raise RuntimeError("ffprobe is not installed")
    # Local files only: a playlist posing as a video must not make the prober fetch anything.
    code, out, _ = run_program([ffprobe, "-v", "error", "-protocol_whitelist", "file", "-print_format", "json",
                                "-show_format", "-show_streams", "-i", "file:" + path])
    facts = {}
    if code == 0:
        try:
            facts = json.loads(out.decode("utf-8", errors="replace"))
        except ValueError:
            facts = {}
    duration = (facts.get("format") or {}).get("duration")
    try:
        seconds = Decimal(duration) if duration is not None else Decimal(0)
    except ArithmeticError:
        seconds = Decimal(0)
    if seconds.is_finite() and seconds != 0:
        result["duration_s"] = float(seconds.quantize(Decimal("0.1"), rounding=ROUND_HALF_EVEN))
    for stream in facts.get("streams") or []:
        if stream.get("codec_type") != "video" or (stream.get("disposition") or {}).get("attached_pic"):
            continue
        if stream.get("width"):
            result["width"] = int(stream["width"])
            result["height"] = int(stream.get("height") or 0)
        break
    result["note"] = "the model cannot watch video or hear audio; only its length and size are known"


# ---------------------------------------------------------------------------------------------------------------

def clean(value):
    """Lone surrogates (from undecodable file names, say) become U+FFFD so the output is valid UTF-8."""
    if isinstance(value, str):
        return value.encode("utf-16", "surrogatepass").decode("utf-16", "replace")
    return value


def main(argv):
    if len(argv) != 4:
        sys.stderr.write("usage: extract_document.py PATH KIND OUT\n")
        return 2
    # Absolute, so that no name can pass for an option of the programs it is handed to.
    path, kind, out = os.path.abspath(argv[1]), argv[2], argv[3]
    result = {"kind": kind, "text": "", "note": ""}
    try:
        lowered = kind.lower()
        if lowered in ("docx", "pptx", "xlsx", "odt", "ods", "odp"):
            extract_office(result, path, lowered)
        elif lowered == "pdf":
            extract_pdf(result, path, os.path.splitext(out)[0] + ".pages")
        elif lowered == "image":
            extract_image(result, path)
        elif lowered == "media":
            extract_media(result, path)
    except MemoryError:
        result["error"] = "not enough memory to read this file"
    except Exception as error:  # every failure is reported in the output, never by the exit code
        result["error"] = str(error) or type(error).__name__
    result["text"] = clip(str(result["text"]))
    text = json.dumps({key: clean(value) for key, value in result.items()}, ensure_ascii=False,
                      separators=(",", ":"))
    with open(out, "w", encoding="utf-8") as stream:
        stream.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
