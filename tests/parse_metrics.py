"""Parses a metrics file as a monitoring system would and prints its samples as JSON.

    parse_metrics.py openmetrics|prometheus FILE

openmetrics: the strict OpenMetrics parser (it fails on a missing '# EOF', a counter
sample without '_total', a family declared twice). prometheus: the Prometheus text
format parser that the node exporter's textfile collector follows. Prints
{"name{label=value,...}": value, ...}, plus "<name>:type" for each family; exits non-zero
when the text does not parse.
"""
import json
import sys

from prometheus_client import parser as prometheus_parser
from prometheus_client.openmetrics import parser as openmetrics_parser

kind, path = sys.argv[1], sys.argv[2]
with open(path, encoding="utf-8") as f:
    text = f.read()
parse = (openmetrics_parser if kind == "openmetrics" else prometheus_parser).text_string_to_metric_families
out = {}
for family in parse(text):
    out[family.name + ":type"] = family.type
    for sample in family.samples:
        labels = ",".join(f"{k}={v}" for k, v in sorted(sample.labels.items()))
        out[f"{sample.name}{{{labels}}}"] = sample.value
print(json.dumps(out))
