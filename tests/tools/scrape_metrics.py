#!/usr/bin/python3
"""Scrapes qel-cli's /metrics endpoint and checks the text exposition format.

usage: scrape_metrics.py URL SITE_TYPE=RECORDS [SITE_TYPE=RECORDS ...] [--deadline SECONDS]

Polls URL until qel_records_delivered_total of every named site type equals
its expected count, then prints the samples as one JSON object
{metric: {site_type: value}} on standard output and exits 0. Exits 1 when the
deadline passes first (the last text goes to standard error), 2 when the
answer breaks the format: a content type other than version 0.0.4, a sample
without its # HELP and # TYPE lines, a counter not named *_total or a gauge
that is, a malformed sample line, or a path other than /metrics not refused.
"""
import json
import re
import sys
import time
import urllib.error
import urllib.request

SAMPLE = re.compile(r'^([a-zA-Z_:][a-zA-Z0-9_:]*)\{((?:[a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\]|\\.)*",?)*)\} (\S+)$')
LABEL = re.compile(r'([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\]|\\.)*)"')


class FormatError(Exception):
    pass


def parse(text):
    helps, types, samples = set(), {}, {}
    for line in text.splitlines():
        if not line:
            continue
        if line.startswith('# HELP '):
            parts = line.split(' ', 3)
            if len(parts) < 4 or not parts[3]:
                raise FormatError('HELP line without text: ' + line)
            helps.add(parts[2])
            continue
        if line.startswith('# TYPE '):
            parts = line.split(' ')
            if len(parts) != 4 or parts[3] not in ('counter', 'gauge'):
                raise FormatError('bad TYPE line: ' + line)
            name, kind = parts[2], parts[3]
            if name not in helps:
                raise FormatError('TYPE before HELP: ' + line)
            if (kind == 'counter') != name.endswith('_total'):
                raise FormatError(kind + ' named ' + name)
            types[name] = kind
            continue
        if line.startswith('#'):
            raise FormatError('unexpected comment: ' + line)
        match = SAMPLE.match(line)
        if not match:
            raise FormatError('malformed sample: ' + line)
        name, labels, value = match.group(1), dict(LABEL.findall(match.group(2))), float(match.group(3))
        if name not in types:
            raise FormatError('sample without TYPE: ' + line)
        if 'site_type' not in labels:
            raise FormatError('sample without site_type: ' + line)
        samples.setdefault(name, {})[labels['site_type']] = value
    return samples


def fetch(url):
    with urllib.request.urlopen(url, timeout=10) as answer:
        content_type = answer.headers.get('Content-Type', '')
        if not content_type.startswith('text/plain; version=0.0.4'):
            raise FormatError('content type ' + content_type)
        return answer.read().decode('utf-8')


def main(argv):
    url = argv[1]
    deadline = 60.0
    expected = {}
    rest = argv[2:]
    while rest:
        arg = rest.pop(0)
        if arg == '--deadline':
            deadline = float(rest.pop(0))
        else:
            site, count = arg.split('=')
            expected[site] = float(count)
    try:
        urllib.request.urlopen(url.rsplit('/', 1)[0] + '/other', timeout=10)
        raise FormatError('a path other than /metrics was served')
    except urllib.error.HTTPError as refused:
        if refused.code != 404:
            raise FormatError('a path other than /metrics answered %d' % refused.code)
    end = time.monotonic() + deadline
    text = ''
    while True:
        text = fetch(url)
        samples = parse(text)
        delivered = samples.get('qel_records_delivered_total', {})
        if all(delivered.get(site) == count for site, count in expected.items()):
            print(json.dumps(samples, sort_keys=True))
            return 0
        if time.monotonic() > end:
            sys.stderr.write('deadline passed; last answer:\n' + text)
            return 1
        time.sleep(0.1)


if __name__ == '__main__':
    try:
        sys.exit(main(sys.argv))
    except FormatError as error:
        sys.stderr.write('format: %s\n' % error)
        sys.exit(2)
