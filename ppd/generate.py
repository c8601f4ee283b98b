#!/usr/bin/env python3
"""Writes one PPD per model family into this folder (or the one given): run it after a change.

The PPD file name is the model the backend puts in its device lines (backend/PrinterChecker.h),
so CUPS finds it as pellbluetooth/MODEL.ppd. The option defaults repeat what the filters' model
rules give a queue named after the family (filter/JobSettings.cpp): CUPS hands a filter only
the options someone set, so a default that differed would show one thing and print another.
"""
import os
import sys

MAKER = "Pell"
COMMAND_SET = "ESC/POS"
DPI = 203

# model, filter, media type, darkness, print mode, page sizes
# Darkness is the user's level (filters send level - 1); 0 (vellumar only) sends none.
ROLL = "roll"
LABELS = "labels"
FIXED = "fixed"
FAMILIES = [
    ("QMT53", "tessoral", 0, 2, 3, FIXED),
    ("ZOR21", "tessoral", 3, 2, 0, ROLL),
    ("QMV27", "tessoral", 3, 3, 3, ROLL),
    ("ZOR22", "tessoral", 3, 3, 3, ROLL),
    ("WMV24", "tessoral", 3, 2, 0, ROLL),
    ("HM_B58", "vellumar", 0, 2, 3, ROLL),
    ("QMV24", "tessoral", 3, 2, 0, ROLL),
    ("HM_E58", "vellumar", 0, 2, 3, ROLL),
    ("HM_5846", "vellumar", 0, 2, 3, ROLL),
    ("QMF58", "vellumar", 0, 0, 3, ROLL),
    ("HM_T59S", "vellumar", 0, 2, 3, ROLL),
    ("VQB7H", "vellumar", 0, 2, 3, LABELS),
    ("KRV38", "vellumar", 1, 2, 3, LABELS),
    ("HM_W7", "vellumar", 0, 2, 3, LABELS),
    ("HM_E7S", "vellumar", 0, 2, 3, LABELS),
    ("HM_E7", "vellumar", 0, 2, 3, LABELS),
    ("VQN4", "vellumar", 0, 2, 3, LABELS),
    ("KRT61", "vellumar", 0, 0, 3, LABELS),
    ("KRT64", "vellumar", 0, 0, 3, ROLL),
    # BX940 queues also land here (the backend matches BX9 first); vellumar prints them in
    # threshold mode whatever this default says.
    ("BX9", "vellumar", 0, 0, 3, LABELS),
    ("YF-316", "vellumar", 0, 0, 3, ROLL),
    ("Pelltandle", "vellumar", 0, 0, 3, ROLL),
]

MEDIA_TYPES = [
    (0, "Continuous paper"),
    (1, "Labels"),
    (2, "Printer media code 3"),
    (3, "Printer media code 4"),
    (4, "Printer media code 5"),
]

PRINT_MODES = {
    "vellumar": [(3, "Dithered (photos, logos)"), (0, "Threshold (text, barcodes)")],
    "tessoral": [(3, "Three-row error diffusion"), (1, "Floyd-Steinberg"), (0, "Threshold (text, barcodes)")],
}

# vellumar scales every page down to 384 dots across; tessoral prints pages at their own size,
# so its paper must be the head's width.
HEAD_DOTS = 384
FIXED_DOTS = (1638, 2237)  # tessoral's fixed page, filter/Tessoral.h


def points(dots):
    return dots * 72.0 / DPI


def mm_points(mm):
    return mm * 72.0 / 25.4


def page_sizes(kind):
    """(name, text, width pt, height pt), the default first."""
    if kind == FIXED:
        w, h = (points(d) for d in FIXED_DOTS)
        return [("w581h793", "205 x 280 mm sheet", w, h)]
    width = points(HEAD_DOTS)
    labels = [(mm, mm_points(mm)) for mm in (30, 40, 60)]
    sizes = [("w%dh%d" % (round(width), round(h)), "48 x %d mm label" % mm, width, h) for mm, h in labels]
    roll_h = mm_points(200)
    roll = ("w%dh%d" % (round(width), round(roll_h)), "48 mm continuous roll (200 mm pages)", width, roll_h)
    return sizes + [roll] if kind == LABELS else [roll] + sizes


def device_id(model):
    return "MFG:%s;MDL:%s;CMD:%s;" % (MAKER, model, COMMAND_SET)


def pc_file_name(model):
    return model.upper()[:8] + ".PPD"


def ui_option(lines, keyword, text, default, choices, order):
    lines.append("*OpenUI *%s/%s: PickOne" % (keyword, text))
    lines.append("*OrderDependency: %d AnySetup *%s" % (order, keyword))
    lines.append("*Default%s: %s" % (keyword, default))
    for name, label, code in choices:
        lines.append('*%s %s/%s: "%s"' % (keyword, name, label, code))
    lines.append("*CloseUI: *%s" % keyword)
    lines.append("")


def ppd_text(model, filter_name, media, darkness, mode, kind):
    sizes = page_sizes(kind)
    default_size = sizes[0][0]
    lines = [
        '*PPD-Adobe: "4.3"',
        "*%% %s %s for the pellbluetooth backend; written by ppd/generate.py." % (MAKER, model),
        '*FormatVersion: "4.3"',
        '*FileVersion: "1.0"',
        "*LanguageVersion: English",
        "*LanguageEncoding: ISOLatin1",
        '*PCFileName: "%s"' % pc_file_name(model),
        '*Manufacturer: "%s"' % MAKER,
        '*Product: "(%s)"' % model,
        # ModelName may not hold an underscore.
        '*ModelName: "%s %s"' % (MAKER, model.replace("_", "-")),
        '*ShortNickName: "%s %s"' % (MAKER, model),
        '*NickName: "%s %s, pellbluetooth"' % (MAKER, model),
        '*1284DeviceID: "%s"' % device_id(model),
        '*PSVersion: "(3010.000) 0"',
        '*LanguageLevel: "3"',
        "*ColorDevice: False",
        "*DefaultColorSpace: Gray",
        "*FileSystem: False",
        '*Throughput: "1"',
        "*LandscapeOrientation: Plus90",
        "*TTRasterizer: Type42",
        "*cupsVersion: 2.4",
        "*cupsModelNumber: 0",
        "*cupsManualCopies: True",
        # A type of our own after the filter: were it raster again, CUPS could skip the filter.
        '*cupsFilter2: "application/vnd.cups-raster application/vnd.pellbluetooth-commands 0 %s"' % filter_name,
        "",
    ]
    # The filters read samples as luminance (below 128 prints), so the colour space is W (0).
    ui_option(lines, "ColorModel", "Color Mode", "Gray",
              [("Gray", "Grayscale", "<</cupsColorOrder 0/cupsColorSpace 0/cupsBitsPerColor 8>>setpagedevice")], 10)
    ui_option(lines, "Resolution", "Resolution", "203dpi",
              [("203dpi", "203 dpi", "<</HWResolution[203 203]/cupsBitsPerColor 8/cupsColorSpace 0>>setpagedevice")],
              10)
    size_code = '<</PageSize[%.2f %.2f]/ImagingBBox null>>setpagedevice'
    for keyword, text in (("PageSize", "Media Size"), ("PageRegion", "Media Size")):
        choices = [(n, t, size_code % (w, h)) for n, t, w, h in sizes]
        ui_option(lines, keyword, text, default_size, choices, 10)
    lines.append("*DefaultImageableArea: %s" % default_size)
    for name, text, w, h in sizes:
        lines.append('*ImageableArea %s/%s: "0 0 %.2f %.2f"' % (name, text, w, h))
    lines.append("*DefaultPaperDimension: %s" % default_size)
    for name, text, w, h in sizes:
        lines.append('*PaperDimension %s/%s: "%.2f %.2f"' % (name, text, w, h))
    lines.append("")
    ui_option(lines, "MediaType", "Media Type", str(media), [(str(i), t, "") for i, t in MEDIA_TYPES], 20)
    levels = [(str(n), "Level %d" % n, "") for n in range(1, 6)]
    if filter_name == "vellumar":
        levels.insert(0, ("0", "Printer's own setting", ""))
    ui_option(lines, "Darkness", "Darkness", str(darkness), levels, 20)
    ui_option(lines, "PrintMode", "Halftoning", str(mode),
              [(str(n), t, "") for n, t in PRINT_MODES[filter_name]], 20)
    lines += [
        "*DefaultFont: Courier",
        '*Font Courier: Standard "(002.004S)" Standard ROM',
        "",
    ]
    return "\n".join(lines)


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    for family in FAMILIES:
        path = os.path.join(folder, family[0] + ".ppd")
        with open(path, "w", encoding="ascii", newline="\n") as ppd:
            ppd.write(ppd_text(*family))
    return 0


if __name__ == "__main__":
    sys.exit(main())
