from pixelmend.main import main

main()
