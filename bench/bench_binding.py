import argparse
import statistics
import timeit

import pixelmend.main as pm

from common import parse_command_line, print_machine, save_figures


def handle_image_path(fields, image_path):
    return False


class Reference:
    def __init__(self, key: "str"):
        if key is not None and type(key) is not str:
            raise TypeError("Argument 'key' has incorrect type (expected str, got %s)" % type(key).__name__)
        self.key = key

    def segment_image(self, image_path: "str"):
        if image_path is not None and type(image_path) is not str:
            raise TypeError("Argument 'image_path' has incorrect type (expected str, got %s)" % type(image_path).__name__)
        fields = [("api_key", self.key), ("option", "0")]
        fields = handle_image_path(fields, image_path)
        if fields == False:  # noqa: E712
            return "File does not exist: " + format(image_path, "")

    def smart_object_detection(self, image_path: "str", display="Boxes", confidence_threshold="0.25", option="0", color=""):
        if image_path is not None and type(image_path) is not str:
            raise TypeError("Argument 'image_path' has incorrect type (expected str, got %s)" % type(image_path).__name__)
        fields = [("api_key", self.key)]
        fields.append(("option", option))
        fields.append(("confidence_threshold", confidence_threshold))
        fields.append(("display", display))
        if color:
            fields.append(("color", color))
        fields = handle_image_path(fields, image_path)
        if fields == False:  # noqa: E712
            return "File does not exist: " + format(image_path, "")


CASES = {
    "positional, defaults": 'c.smart_object_detection("street.jpg")',
    "all keywords": 'c.smart_object_detection(image_path="street.jpg", display="Masks", confidence_threshold="0.5", option="2", color="#ff0000")',
    "mixed": 'c.smart_object_detection("street.jpg", "Masks", color="#ff0000")',
    "segment_image": 'c.segment_image("street.jpg")',
    "TypeError: missing argument": "try:\n    c.smart_object_detection()\nexcept TypeError:\n    pass",
    "TypeError: unknown keyword": 'try:\n    c.smart_object_detection("street.jpg", colour="red")\nexcept TypeError:\n    pass',
    "TypeError: image_path not str": "try:\n    c.smart_object_detection(42)\nexcept TypeError:\n    pass",
}


def per_call_ns(statement, client, number, repeat):
    timer = timeit.Timer(statement, globals={"c": client})
    return [t / number * 1e9 for t in timer.repeat(repeat=repeat, number=number)]


def main():
    parser = argparse.ArgumentParser(description="Per-call cost of argument binding: compiled methods against Python functions")
    parser.add_argument("--number", type=int, default=200_000)
    parser.add_argument("--repeat", type=int, default=9)
    arguments = parse_command_line(parser, quick="20000 calls, 5 repeats")
    if arguments.quick:
        arguments.number, arguments.repeat = 20_000, 5
    print_machine()
    pm.handle_image_path = handle_image_path
    clients = {"pixelmend": pm.Pixelmend("key"), "python": Reference("key")}
    for statement in CASES.values():
        for client in clients.values():
            exec(statement, {"c": client})
    if clients["pixelmend"].smart_object_detection("a.jpg") != clients["python"].smart_object_detection("a.jpg"):
        raise SystemExit("the two clients do not do the same work")
    print(f"handle_image_path rebound to a function returning False; {arguments.repeat} x {arguments.number} calls; "
          "median ns per call, the two clients interleaved")
    print(f"  {'case':32s} {'pixelmend':>10s} {'python':>10s} {'ratio':>7s}")
    figures = {}
    for case, statement in CASES.items():
        samples = {name: [] for name in clients}
        for _ in range(arguments.repeat):
            for name, client in clients.items():
                samples[name] += per_call_ns(statement, client, arguments.number, 1)
        compiled = statistics.median(samples["pixelmend"])
        python = statistics.median(samples["python"])
        figures[case] = {"pixelmend_ns": compiled, "python_ns": python, "ratio": compiled / python}
        print(f"  {case:32s} {compiled:10.0f} {python:10.0f} {compiled / python:7.2f}")
    print("  goal: ratio <= 1.00 (no slower than the Python function)")
    save_figures(arguments.json, figures)


if __name__ == "__main__":
    main()
