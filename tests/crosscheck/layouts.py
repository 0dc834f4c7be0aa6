#!/usr/bin/python3
"""Cross-checks the fixed wire layouts of the core rows and the XKEYBOARD and XInput events
against the installed protocol headers: 16- and 32-bit letters at aligned offsets, a fixed part
no longer than the struct's sz_ size, every 16- and 32-bit field that is not padding swapped,
and no letter that swaps a byte field or runs across two fields.
Usage: layouts.py LAYOUTDUMP   (the program that prints the layouts)"""
import re
import subprocess
import sys

XPROTO = '/usr/include/X11/Xproto.h'
XKBPROTO = '/usr/include/X11/extensions/XKBproto.h'
XVPROTO = '/usr/include/X11/extensions/Xvproto.h'
XIPROTO = '/usr/include/X11/extensions/XIproto.h'
XTESTPROTO = '/usr/include/X11/extensions/xtestproto.h'
SIZES = {'CARD8': 1, 'INT8': 1, 'BYTE': 1, 'BOOL': 1, 'KEYCODE': 1, 'CARD16': 2, 'INT16': 2,
         'KeyButMask': 2, 'CARD32': 4, 'INT32': 4}


def strip(text):
    text = re.sub(r'/\*.*?\*/', ' ', text, flags=re.S)
    return re.sub(r'//[^\n]*', ' ', text)


def parse_header(path, types_from=None):
    """Returns (structs, sizes): struct name -> [(offset, size, field name)], sz_ name -> bytes.
    types_from: a header whose type names the file uses without defining them."""
    text = strip(open(path).read())
    if types_from:
        text = ''.join(re.findall(r'typedef\s+(?:CARD\d+|INT\d+)\s+\w+\s*;', strip(open(types_from).read()))) + text
    # C++ spellings of fields named after keywords ("c_class"): keep the C branch.
    text = re.sub(r'#if\s+defined\(__cplusplus\)[^\n]*\n(.*?)#else[^\n]*\n(.*?)#endif', r'\2', text, flags=re.S)
    types = dict(SIZES)
    types['xEvent'] = 32  # the event inside SendEvent, swapped by its own layout
    for name, base in re.findall(r'#define\s+(\w+)\s+(CARD\d+|INT\d+)\b', text):
        types[name] = SIZES[base]
    for base, name in re.findall(r'typedef\s+(CARD\d+|INT\d+)\s+(\w+)\s*;', text):
        types[name] = SIZES[base]
    sizes = {name: int(value) for name, value in re.findall(r'#define\s+sz_(\w+)\s+(\d+)', text)}
    body_text = '\n'.join(line for line in text.split('\n') if not line.lstrip().startswith('#'))

    def fields(body):
        out, offset = [], 0
        for statement in body.split(';'):
            words = statement.replace(',', ' , ').split()
            if not words:
                continue
            if words[0] in ('unsigned', 'signed'):
                words = words[1:]
            size = types.get(words[0])
            if size is None:
                return None
            for name in ' '.join(words[1:]).split(','):
                name = name.strip()
                count = 1
                m = re.match(r'(\w+)\s*\[\s*(\d+)\s*\]', name)
                if m:
                    name, count = m.group(1), int(m.group(2))
                for _ in range(count):
                    out.append((offset, size, name))
                    offset += size
        return out

    structs = {}
    for m in re.finditer(r'typedef\s+struct\s*\w*\s*\{([^{}]*)\}\s*(\w+)\s*;', body_text):
        parsed = fields(m.group(1))
        if parsed is not None:
            structs[m.group(2)] = parsed
    for base, alias in re.findall(r'typedef\s+(x\w+)\s+(x\w+)\s*;', body_text):
        if base in structs:
            structs[alias] = structs[base]
            sizes.setdefault(alias, sizes.get(base, 0))
    # The members of the core event union, as "xEvent.member".
    # XVideo's event union: its members as "xvEvent.member".
    for m in re.finditer(r'struct\s*\{([^{}]*)\}\s*(videoNotify|portNotify)\s*;', body_text):
        parsed = fields(m.group(1))
        if parsed is not None:
            structs['xvEvent.' + m.group(2)] = parsed
            sizes['xvEvent.' + m.group(2)] = 32
    event = re.search(r'typedef\s+struct\s+_xEvent\s*\{(.*?)\}\s*xEvent\s*;', body_text, re.S)
    if event:
        for m in re.finditer(r'struct\s*\{([^{}]*)\}\s*(\w+)\s*;', event.group(1)):
            parsed = fields(m.group(1))
            if parsed is not None:
                structs['xEvent.' + m.group(2)] = parsed
                sizes['xEvent.' + m.group(2)] = 32
    return structs, sizes


def expand(layout):
    """The fixed letters as (offset, size), the fixed part's length and the letter ending it."""
    units, offset = [], 0
    for letter in layout:
        if letter in 'bsil':
            size = {'b': 1, 's': 2, 'i': 4, 'l': 8}[letter]
            if size > 1:
                units.append((offset, size))
            offset += size
        else:
            return units, offset, letter
    return units, offset, None


def is_padding(name):
    return name.startswith('pad') or name.startswith('walign')


def check(layout, struct, sz):
    """A list of faults of layout against struct (empty when it fits)."""
    faults = []
    units, fixed, tail = expand(layout)
    for offset, size in units:
        if size <= 4 and offset % size:
            faults.append('%d-bit letter at odd offset %d' % (8 * size, offset))
        covered = [f for f in struct if f[0] < offset + size and f[0] + f[1] > offset]
        real = [f for f in covered if not is_padding(f[2])]
        if real and not (len(covered) == 1 and covered[0][0] == offset and covered[0][1] == size):
            faults.append('letter at %d (%d bytes) swaps %s' % (offset, size, ', '.join(f[2] for f in covered)))
    if fixed > sz:
        faults.append('fixed part %d longer than %d' % (fixed, sz))
    swapped = {(o, s) for o, s in units}
    unit = {'S': 2, 'I': 4, 'L': 8}.get(tail)
    for offset, size, name in struct:
        if is_padding(name):
            continue
        if offset + size <= fixed:
            if size in (2, 4) and (offset, size) not in swapped:
                faults.append('field %s at %d not swapped' % (name, offset))
        elif unit:
            if size != unit or (offset - fixed) % unit:
                faults.append('field %s at %d (%d bytes) under %s' % (name, offset, size, tail))
        elif size in (2, 4):
            faults.append('field %s at %d beyond the layout' % (name, offset))
    return faults


REQUEST_ALIASES = {'TranslateCoordinates': 'TranslateCoords', 'PolyText8': 'PolyText',
                   'PolyText16': 'PolyText', 'ImageText8': 'ImageText', 'ImageText16': 'ImageText'}
EVENT_MEMBERS = {
    2: 'keyButtonPointer', 3: 'keyButtonPointer', 4: 'keyButtonPointer', 5: 'keyButtonPointer',
    6: 'keyButtonPointer', 7: 'enterLeave', 8: 'enterLeave', 9: 'focus', 10: 'focus', 12: 'expose',
    13: 'graphicsExposure', 14: 'noExposure', 15: 'visibility', 16: 'createNotify', 17: 'destroyNotify',
    18: 'unmapNotify', 19: 'mapNotify', 20: 'mapRequest', 21: 'reparent', 22: 'configureNotify',
    23: 'configureRequest', 24: 'gravity', 25: 'resizeRequest', 26: 'circulate', 27: 'circulate',
    28: 'property', 29: 'selectionClear', 30: 'selectionRequest', 31: 'selectionNotify', 32: 'colormap',
    34: 'mappingNotify'}
XKB_EVENTS = ['xkbNewKeyboardNotify', 'xkbMapNotify', 'xkbStateNotify', 'xkbControlsNotify',
              'xkbIndicatorNotify', 'xkbIndicatorNotify', 'xkbNamesNotify', 'xkbCompatMapNotify',
              'xkbBellNotify', 'xkbActionMessage', 'xkbAccessXNotify', 'xkbExtensionDeviceNotify']
XI_EVENTS = ['deviceValuator'] + ['deviceKeyButtonPointer'] * 5 + ['deviceFocus'] * 2 + \
            ['deviceKeyButtonPointer'] * 2 + ['deviceStateNotify', 'deviceMappingNotify', 'changeDeviceNotify',
                                              'deviceKeyStateNotify', 'deviceButtonStateNotify',
                                              'devicePresenceNotify', 'devicePropertyNotify']


def main():
    structs, sizes = parse_header(XPROTO)
    xkb_structs, xkb_sizes = parse_header(XKBPROTO)
    structs.update(xkb_structs)
    sizes.update(xkb_sizes)
    xv_structs, xv_sizes = parse_header(XVPROTO)
    structs.update(xv_structs)
    sizes.update(xv_sizes)
    xtest_structs, xtest_sizes = parse_header(XTESTPROTO, types_from=XPROTO)
    structs.update(xtest_structs)
    sizes.update(xtest_sizes)
    xi_structs, _ = parse_header(XIPROTO, types_from=XPROTO)
    for name in set(XI_EVENTS):
        if name in xi_structs:
            structs[name] = xi_structs[name]
            sizes[name] = 32  # every XInput event is a 32-byte event
    lines = subprocess.run([sys.argv[1]], capture_output=True, text=True, check=True).stdout.split('\n')
    checked, failures = 0, []
    for line in lines:
        if not line.strip():
            continue
        kind, number, name, layout = line.split(' ', 3)
        number = int(number)
        if 'H' in layout or layout == '':
            continue  # hand-written cases have unit tests of their own; "" swaps nothing
        if kind == 'request':
            base = REQUEST_ALIASES.get(name, name)
            candidates = ['x%sReq' % base] + (['xResourceReq'] if layout == 'bbsi' else []) + \
                         (['xReq'] if layout == 'bbs' else [])
        elif kind == 'reply':
            candidates = ['x%sReply' % REQUEST_ALIASES.get(name, name)]
        elif kind == 'xvrequest':
            candidates = ['%sReq' % name]
        elif kind == 'xvreply':
            candidates = ['%sReply' % name]
        elif kind == 'xvevent':
            candidates = ['xvEvent.' + name]
        elif kind == 'event':
            candidates = ['xEvent.' + EVENT_MEMBERS[number]] if number in EVENT_MEMBERS else []
        elif kind in ('xkbrequest', 'xkbreply'):
            candidates = [name + ('Req' if kind == 'xkbrequest' else 'Reply')]
        elif kind in ('xtestrequest', 'xtestreply'):
            candidates = ['x' + name + ('Req' if kind == 'xtestrequest' else 'Reply')]
        elif kind == 'xievent':
            candidates = [XI_EVENTS[number]] if number < len(XI_EVENTS) else []
        else:
            candidates = [XKB_EVENTS[number]]
        struct = next((c for c in candidates if c in structs and c in sizes), None)
        if struct is None:
            failures.append('%s %d %s: no struct among %s' % (kind, number, name, candidates))
            continue
        faults = check(layout, structs[struct], sizes[struct])
        checked += 1
        if faults:
            failures.append('%s %d %s "%s" against %s: %s' % (kind, number, name, layout, struct, '; '.join(faults)))
    # The checker itself must catch a StateNotify layout with one byte too many.
    if not check('bbsibbbbbbbssbbbbbbss', structs['xkbStateNotify'], sizes['xkbStateNotify']):
        failures.append('the checker accepts the faulty StateNotify layout')
    # ... and XInput's DeviceStateNotify with its valuators two bytes early.
    if not check('bbsibbbbbbiii', structs['deviceStateNotify'], sizes['deviceStateNotify']):
        failures.append('the checker accepts the faulty DeviceStateNotify layout')
    # ... and a PortNotify layout that leaves the value unswapped.
    if not check('bbsiii', structs['xvEvent.portNotify'], sizes['xvEvent.portNotify']):
        failures.append('the checker accepts the faulty PortNotify layout')
    for failure in failures:
        print(failure)
    print('%d layouts checked, %d failures' % (checked, len(failures)))
    return 1 if failures or checked < 150 else 0


if __name__ == '__main__':
    sys.exit(main())
