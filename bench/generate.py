"""Device-like configurations and update files, the same for a given seed."""
import random

VALUES = ["0", "1", "yes", "no", "192.168.1.100", "255.255.255.0", "en", "UTC+01:00",
          "pool.ntp.org", "Lobby camera 3", "/mnt/sd/record", "H.264", "1920x1080"]


def section_name(i):
    return "SECTION_%02d" % i


def configuration(settings, seed, sections=None):
    """Returns (xml text, [(path, value)]): the settings in sections (by
    default one per 2,500 settings, at least 4), a tenth of each section's
    settings one level deeper, with attributes and comments like a device's
    file."""
    rng = random.Random(seed)
    sections = sections or max(4, settings // 2500)
    per_section = settings // sections
    lines = ['<?xml version="1.0" encoding="UTF-8"?>',
             "<!-- Device configuration: %d settings -->" % settings,
             '<DVR_CFG version="3.2" model=\'NVR-0808\'>']
    paths = []
    for s in range(sections):
        name = section_name(s)
        lines.append('\t<%s id="%d">' % (name, s))
        lines.append("\t\t<!-- %s: settings of group %d -->" % (name, s))
        nested = per_section // 10
        for k in range(per_section - nested):
            key = "KEY_%05d" % k
            value = rng.choice(VALUES)
            attr = ' unit="s"' if k % 7 == 0 else ""
            lines.append("\t\t<%s%s>%s</%s>" % (key, attr, value, key))
            paths.append(("%s.%s" % (name, key), value))
        lines.append("\t\t<SUB>")
        for k in range(nested):
            key = "NESTED_%05d" % k
            value = rng.choice(VALUES)
            lines.append("\t\t\t<%s>%s</%s>" % (key, value, key))
            paths.append(("%s.SUB.%s" % (name, key), value))
        lines.append("\t\t</SUB>")
        lines.append("\t</%s>" % name)
    lines.append("</DVR_CFG>")
    return "\n".join(lines) + "\n", paths


def update(paths, entries, seed):
    """Returns [(path, value, kind)] with kind "changed", "equal" or "new":
    six in ten change a setting, two keep one, two add one (half of those in
    sections the file does not have yet)."""
    rng = random.Random(seed)
    chosen = rng.sample(paths, min(len(paths), entries))
    result = []
    for i in range(entries):
        roll = i % 10
        if roll < 6:
            path, value = chosen[i % len(chosen)]
            result.append((path, "v%d.%s" % (i, value), "changed"))
        elif roll < 8:
            path, value = chosen[i % len(chosen)]
            result.append((path, value, "equal"))
        elif roll == 8:
            result.append(("%s.NEWKEY_%05d" % (section_name(i % 4), i), "new%d" % i, "new"))
        else:
            result.append(("NEWSEC_%02d.KEY_%05d" % (i % 5, i), "new%d" % i, "new"))
    # One line a path: xmlstarlet would insert a new setting twice.
    seen, unique = set(), []
    for entry in result:
        if entry[0] not in seen:
            seen.add(entry[0])
            unique.append(entry)
    return unique


def update_file(entries):
    return "".join("%s=%s\n" % (path, value) for path, value, _ in entries)
