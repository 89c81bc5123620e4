"""Writes the bundled synthetic uplift data set (examples/data/uplift_example.csv).

Customers have five numeric and two categorical features, a treatment code
(0 control, 1 email, 2 discount) and a conversion outcome. The treatments
work only for some customers, so there is a real uplift signal to find:
the email helps active recent visitors, the discount helps price-sensitive
customers on the "basic" plan. Run again to regenerate; the seed is fixed.
"""
import csv
import pathlib
import random

ROWS = 30000


def main() -> None:
    rng = random.Random(20261208)
    out = pathlib.Path(__file__).parent / "data" / "uplift_example.csv"
    out.parent.mkdir(exist_ok=True)
    with out.open("w", newline="") as f:
        w = csv.writer(f)
        w.writerow(["recency", "frequency", "spend", "tenure", "price_sensitivity",
                    "plan", "channel", "treatment", "converted"])
        for _ in range(ROWS):
            recency = rng.expovariate(1 / 30)
            frequency = rng.randint(0, 20)
            spend = round(rng.lognormvariate(3.5, 0.8), 2)
            tenure = rng.randint(1, 120)
            price_sensitivity = rng.random()
            plan = rng.choice(["basic", "basic", "plus", "premium"])
            channel = rng.choice(["web", "app", "store"])
            treatment = rng.randint(0, 2)
            base = 0.05 + 0.1 * (frequency / 20) + 0.03 * (plan == "premium")
            lift = 0.0
            if treatment == 1 and recency < 20 and frequency > 5:
                lift = 0.12
            if treatment == 2 and plan == "basic":
                lift = 0.15 * price_sensitivity
            p = min(0.95, base + lift)
            converted = 1 if rng.random() < p else 0
            w.writerow([round(recency, 3), frequency, spend, tenure,
                        round(price_sensitivity, 4), plan, channel, treatment, converted])


if __name__ == "__main__":
    main()
