"""Writes examples/catalogue.csv: a supplier catalogue as it arrives in practice.

Its gtin column holds what spreadsheets and people put there: clean EAN-13 and
UPC-A codes; codes a spreadsheet turned into numbers (4006381333931.0, a UPC
that lost its leading zero, 4.00638E+12); codes with spaces or dashes; wrong
check digits; ISBNs, ISSNs and ISMNs; coupons; restricted-circulation codes,
some carrying a price or weight and some with that field zeroed; GTIN-8 and
GTIN-14; a shop's internal short codes; junk; empty cells; and a few products
listed twice, once with a mistyped check digit.

Deterministic and standard library only: the same command always writes the
same bytes.

    python3 examples/make_catalogue.py [OUT] [--rows N]
"""

import argparse
import csv
import pathlib
import random

SEED = 6
ROWS = 3000

PRODUCTS = [
    ("Oat drink", ["1 l", "250 ml"]),
    ("Whole milk", ["1 l", "500 ml"]),
    ("Tomatoes, chopped", ["400 g", "3 x 400 g"]),
    ("Dark chocolate 70%", ["100 g", "200 g"]),
    ("Espresso beans", ["250 g", "1 kg"]),
    ("Sparkling water", ["6 x 1.5 l", "500 ml"]),
    ("Basmati rice", ["1 kg", "5 kg"]),
    ("Olive oil, extra virgin", ["500 ml", "1 l"]),
    ("Dish soap", ["450 ml"]),
    ("Toothpaste", ["75 ml"]),
    ("AA batteries", ["4 pack", "12 pack"]),
    ('Tablet sleeve 10"', ["grey", "black"]),
    ("Peanut butter, crunchy", ["340 g"]),
    ("Cat food, salmon", ["12 x 85 g"]),
    ("Paper towels", ["2 rolls", "8 rolls"]),
    ("Green tea", ["20 bags"]),
    ("Spaghetti", ["500 g"]),
    ("Ketchup", ["500 ml"]),
]
BRANDS = ["Nordvik", "Alpenhof", "Casa Bella", "Greenfield", "Kiwa", "Maison Roux", "Lumo", "Harbor & Co"]
SUPPLIERS = [
    "Nordic Foods AB",
    "Alpenhof GmbH",
    "Smith & Sons, Ltd.",
    "Distribuciones Sol S.L.",
    "Van Dijk B.V.",
    "Pacific Trading Co.",
    "Maison Roux SARL",
    "Local Wholesale",
]
LOOSE = ["Bananas (loose)", "Apples, Gala (loose)", "Lemons (loose)", "Bread roll, seeded"]
BY_WEIGHT = ["Gouda, aged, by weight", "Ham, sliced, by weight", "Salmon fillet, by weight"]
JUNK = ["n/a", "N/A", "TBD", "#N/A", "see supplier sheet", "?", "none", "-", "0", "pending"]
COMPANY_PREFIXES = [
    "400",
    "401",
    "402",
    "403",
    "404",
    "405",
    "406",
    "407",
    "408",
    "409",
    "410",
    "440",
    "500",
    "501",
    "505",
    "300",
    "301",
    "340",
    "370",
    "376",
    "380",
    "381",
    "383",
    "540",
    "560",
    "590",
    "640",
    "690",
    "700",
    "730",
    "760",
    "770",
    "800",
    "840",
    "870",
    "871",
]


def check_digit(body: str) -> str:
    """The GS1 Mod-10 digit for a body of any length (weights 3, 1, ... from the right)."""
    total = sum(int(d) * (3 if i % 2 == 0 else 1) for i, d in enumerate(reversed(body)))
    return str(-total % 10)


class Catalogue:
    def __init__(self, rng: random.Random) -> None:
        self.rng = rng
        self.earlier = []  # (description, supplier, code) of rows with clean EAN-13s

    def digits(self, n: int) -> str:
        return "".join(self.rng.choice("0123456789") for _ in range(n))

    def ean13(self) -> str:
        body = self.rng.choice(COMPANY_PREFIXES) + self.digits(9)
        return body + check_digit(body)

    def upca(self) -> str:
        body = self.rng.choice("01678") + self.digits(10)
        return body + check_digit(body)

    def product(self) -> str:
        name, sizes = self.rng.choice(PRODUCTS)
        return f"{self.rng.choice(BRANDS)} {name} {self.rng.choice(sizes)}"

    def row(self):
        """Description, supplier and gtin cell of one row."""
        rng = self.rng
        kind = rng.choices(list(KINDS), weights=list(KINDS.values()))[0]
        description, supplier = self.product(), rng.choice(SUPPLIERS)
        if kind == "ean13":
            code = self.ean13()
            self.earlier.append((description, supplier, code))
            return description, supplier, code
        if kind == "upca":
            return description, supplier, self.upca()
        if kind == "float":
            return description, supplier, self.ean13() + ".0"
        if kind == "upc_lost_zero":
            return description, supplier, str(int(self.upca()))
        if kind == "scientific":
            return description, supplier, f"{float(self.ean13()):.5E}"
        if kind == "spaced":
            c = self.ean13()
            return (
                description,
                supplier,
                rng.choice(
                    [
                        f" {c}",
                        f"{c} ",
                        f"{c[0]} {c[1:7]} {c[7:]}",
                        f"{c[:4]}-{c[4:8]}-{c[8:]}",
                        f"{c[:4]}\u00a0{c[4:]}",
                        f"{c[:7]}-{c[7:]}",
                    ]
                ),
            )
        if kind == "wrong_check_digit":
            c = self.ean13()
            return description, supplier, c[:12] + str((int(c[12]) + rng.randint(1, 9)) % 10)
        if kind == "isbn":
            body = rng.choice(["978", "979"]) + rng.choice("123456789") + self.digits(8)
            c = body + check_digit(body)
            shown = rng.choice([c, f"{c[:3]}-{c[3]}-{c[4:7]}-{c[7:12]}-{c[12]}"])
            return f"Book: {rng.choice(['Field guide', 'Cookbook', 'Novel', 'Atlas'])} (paperback)", supplier, shown
        if kind == "issn":
            body = "977" + self.digits(9)
            return "Magazine, monthly issue", supplier, body + check_digit(body)
        if kind == "ismn":
            body = "9790" + self.digits(8)
            return "Sheet music: piano etudes", supplier, body + check_digit(body)
        if kind == "coupon":
            body = rng.choice(["981", "982", "99"]) + self.digits(10)
            body = body[:12]
            return f"Coupon: {rng.choice([50, 100, 200])} cents off", "Marketing", body + check_digit(body)
        if kind == "variable_measure":
            body = "2" + rng.choice("0123456789") + self.digits(5) + self.digits(5)
            return rng.choice(BY_WEIGHT), "Deli counter", body + check_digit(body)
        if kind == "zeroed_measure":
            while True:
                body = "2" + rng.choice("0123456789") + self.digits(5) + "00000"
                if check_digit(body) != "0":  # the printed check digit is stale
                    return rng.choice(BY_WEIGHT), "Deli counter", body + "0"
        if kind == "restricted":
            body = rng.choice(["040", "041", "045", "049", "020", "022"]) + self.digits(9)
            return f"House brand {self.product()}", "Own label", body + check_digit(body)
        if kind == "internal":
            plu = rng.choice(["4011", "4131", "4053", "3000", "94011", "4959"])
            return rng.choice(LOOSE), "Local Wholesale", rng.choice([plu, plu.rjust(8, "0")])
        if kind == "gtin8":
            body = rng.choice(["40", "42", "50", "87", "90"]) + self.digits(5)
            return description, supplier, body + check_digit(body)
        if kind == "gtin14":
            body = rng.choice("123") + self.ean13()[:12]
            return f"Case of 12: {description}", supplier, body + check_digit(body)
        if kind == "junk":
            return description, supplier, rng.choice(JUNK)
        if kind == "empty":
            return description, supplier, rng.choice(["", "", "", " "])
        if kind == "too_long":
            return description, supplier, self.ean13() + self.digits(rng.randint(2, 13))
        if kind == "listed_twice" and self.earlier:
            description, supplier, code = rng.choice(self.earlier)
            if rng.random() < 0.5:  # the same product, its check digit mistyped
                code = code[:12] + str((int(code[12]) + rng.randint(1, 9)) % 10)
            return description, supplier, code
        return description, supplier, self.ean13()


# Rows per thousand.
KINDS = {
    "ean13": 500,
    "upca": 90,
    "float": 50,
    "upc_lost_zero": 15,
    "scientific": 30,
    "spaced": 60,
    "wrong_check_digit": 30,
    "isbn": 35,
    "issn": 8,
    "ismn": 4,
    "coupon": 10,
    "variable_measure": 25,
    "zeroed_measure": 10,
    "restricted": 12,
    "internal": 30,
    "gtin8": 15,
    "gtin14": 15,
    "junk": 20,
    "empty": 30,
    "too_long": 5,
    "listed_twice": 16,
}


def main() -> None:
    here = pathlib.Path(__file__).resolve().parent
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("out", nargs="?", type=pathlib.Path, default=here / "catalogue.csv")
    parser.add_argument("--rows", type=int, default=ROWS)
    args = parser.parse_args()
    catalogue = Catalogue(random.Random(SEED))
    with open(args.out, "w", encoding="utf-8", newline="") as out:
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(["sku", "description", "supplier", "gtin", "price"])
        for n in range(1, args.rows + 1):
            description, supplier, gtin = catalogue.row()
            price = f"{catalogue.rng.uniform(0.3, 40):.2f}"
            writer.writerow([f"SKU-{n:05d}", description, supplier, gtin, price])


if __name__ == "__main__":
    main()
